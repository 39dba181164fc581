// The pool client's shared side: starting and stopping the connection
// thread, the job slot the mining threads read, the one send path for every
// outgoing line, and what the client does with each line the pool sends
// (jobs, notices, the login's reply, share verdicts). The connection thread
// itself is in session.cpp.
#include "pool/pool.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include <poll.h>

#include "net/lookups.hpp"
#include "pool/backoff.hpp"
#include "common/printable.hpp"
#include "pool/protocol.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

// Shares kept for a job whose connection ended, until the next one re-sends it.
constexpr std::size_t max_held_shares = 16;

PoolTiming with_step(std::chrono::milliseconds step) {
    PoolTiming timing;
    timing.step = step;
    return timing;
}

}  // namespace

Pool::Pool(std::chrono::milliseconds wait_step) : Pool(with_step(wait_step)) {}

Pool::Pool(const PoolTiming& timing)
    : resolve_([](const std::string& host) { return resolve_host(host); }),
      jitter_(system_jitter()),
      timing_(timing) {
    if (timing_.step.count() <= 0) timing_.step = std::chrono::milliseconds(1);
}

Pool::~Pool() {
    stop();
}

void Pool::start(const Config& config) {
    // A second start without a stop would orphan the running thread.
    if (thread_.joinable()) stop();
    host_ = config.host;
    port_ = config.port;
    std::vector<Endpoint> pools = {Endpoint{config.host, config.port, config.tls, config.fingerprint}};
    pools.insert(pools.end(), config.backups.begin(), config.backups.end());
    if (pools != pools_) {
        pools_ = std::move(pools);
        current_pool_ = 0;
    }
    tls_ca_ = config.tls_ca;
    address_ = config.address;
    worker_ = config.worker;
    difficulty_hint_ = config.difficulty_hint > 0 ? static_cast<std::uint64_t>(config.difficulty_hint) : 0;
    if (!lookups_) lookups_ = std::make_shared<Lookups>(resolve_);
    running_ = true;
    thread_ = std::thread([this] { connection_loop(); });
}

void Pool::stop() {
    running_ = false;
    {
        std::lock_guard<std::mutex> lock(send_mutex_);
        if (stream_ != nullptr) stream_->shut_down();
    }
    if (thread_.joinable()) thread_.join();
}

void Pool::set_callbacks(LogFn on_log, ShareFn on_share) {
    on_log_ = std::move(on_log);
    on_share_ = std::move(on_share);
}

void Pool::set_resolver(ResolveFn resolve) {
    resolve_ = std::move(resolve);
    lookups_.reset();
}

void Pool::set_jitter(JitterFn jitter) {
    jitter_ = std::move(jitter);
}

Job Pool::current_job() {
    std::lock_guard<std::mutex> lock(job_mutex_);
    return job_;
}

std::optional<Job> Pool::mineable_job() {
    Job copy = current_job();
    if (!copy.valid || !connected_.load()) return std::nullopt;
    return copy;
}

bool Pool::submit(const Job& job, std::uint64_t nonce, const std::uint8_t* hash) {
    // A share goes out only on the connection that delivered its job, or on
    // a later one of the same pool that re-sent that job unchanged (same
    // seq); so no share of one pool's job reaches another pool.
    if (job.connection == 0) return false;
    std::uint64_t connection = job.connection;
    {
        std::lock_guard<std::mutex> lock(job_mutex_);
        if (!job_.valid && (!connected_.load() || connection_count_.load() != job.connection)) {
            // Between connections: kept until the next one re-sends the job.
            if (held_.size() < max_held_shares) {
                HeldShare share{job, nonce, {}};
                std::memcpy(share.hash.data(), hash, share.hash.size());
                held_.push_back(std::move(share));
            }
            return false;
        }
        if (job_.seq == job.seq && same_work(job_, job)) connection = job_.connection;
    }
    if (connection_count_.load() != connection) return false;
    return submit_share(job.job_id, nonce, hash, connection);
}

void Pool::send_held(const Job& job) {
    std::vector<HeldShare> held;
    {
        std::lock_guard<std::mutex> lock(job_mutex_);
        held.swap(held_);
    }
    for (const HeldShare& share : held) {
        if (share.job.seq != job.seq || !same_work(share.job, job)) continue;
        submit_share(job.job_id, share.nonce, share.hash.data(), job.connection);
    }
}

Endpoint Pool::pool_in_use() const {
    const std::size_t index = current_pool_.load();
    return index < pools_.size() ? pools_[index] : Endpoint{host_, port_};
}

Config Pool::config() const {
    Config c;
    c.host = host_;
    c.port = port_;
    if (!pools_.empty()) {
        c.tls = pools_.front().tls;
        c.fingerprint = pools_.front().fingerprint;
    }
    if (pools_.size() > 1) c.backups.assign(pools_.begin() + 1, pools_.end());
    c.tls_ca = tls_ca_;
    c.address = address_;
    c.worker = worker_;
    c.difficulty_hint = static_cast<std::int64_t>(difficulty_hint_);
    return c;
}

bool Pool::send_line(std::string_view line) {
    return send_whole(line, 0);
}

bool Pool::take_pending(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    return pending_.erase(id) != 0;
}

bool Pool::send_whole(std::string_view line, std::uint64_t connection, std::uint64_t pending_id) {
    std::string data;
    data.reserve(line.size() + 1);
    data.append(line);
    data.push_back('\n');

    const int step_ms = static_cast<int>(timing_.step.count());
    std::lock_guard<std::mutex> lock(send_mutex_);
    if (stream_ == nullptr) return false;
    if (connection != 0 && connection_count_.load() != connection) return false;
    if (pending_id != 0) {
        // Awaiting its verdict before the line goes out: the reply may come
        // before this thread runs again.
        std::lock_guard<std::mutex> pending(pending_mutex_);
        pending_.insert(pending_id);
    }

    // Non-blocking writes, waiting for room in short steps: a pool that stops
    // reading cannot hold this thread (and with it send_mutex, which
    // Pool::stop and the disconnect need) for longer than the stall limit.
    const auto stall_limit = timing_.step * send_stall_steps;
    auto give_up_at = Clock::now() + stall_limit;
    std::size_t sent = 0;
    while (sent < data.size()) {
        const StreamIo io = stream_->write(data.data() + sent, data.size() - sent);
        if (io.kind == StreamIo::Kind::data) {
            sent += io.bytes;
            give_up_at = Clock::now() + stall_limit;
            continue;
        }
        if (io.kind == StreamIo::Kind::would_block && running_.load()) {
            if (Clock::now() >= give_up_at) {
                send_stalled_ = true;
                break;
            }
            pollfd p{stream_->fd(), io.wait_events, 0};
            ::poll(&p, 1, step_ms);
            continue;
        }
        break;
    }
    if (sent == data.size()) return true;
    if (pending_id != 0) take_pending(pending_id);
    // The line did not go out whole. Whatever part of it did is already on the
    // wire, and the next line would be glued onto it; a connection that
    // fails a send or stalls is finished anyway. Shut it down so the
    // connection thread reconnects cleanly.
    stream_->shut_down();
    return false;
}

std::string Pool::login_line() const {
    return nolu::qxt::login_line(address_, worker_, last_difficulty_ != 0 ? last_difficulty_ : difficulty_hint_);
}

bool Pool::submit_share(const std::string& job_id, std::uint64_t nonce, const std::uint8_t* hash,
                        std::uint64_t connection) {
    const std::uint64_t id = next_id_.fetch_add(1);
    return send_whole(submission_line(id, job_id, nonce, hash), connection, id);
}

void Pool::handle_line(std::string_view line) {
    JsonValue message;
    if (!json_parse(line, message)) return;

    const JsonValue* params = json_find(message, "params");
    const std::string method = json_string_or(message, "method", "");

    if (method == "job" && params != nullptr) {
        parse_job(*params);
        return;
    }
    if (method == "notification" && params != nullptr) {
        if (!on_log_) return;
        const std::string type = json_string_or(*params, "type", "notification");
        const std::string text = json_string_or(*params, "kind", type);
        log("pool notice: " + printable(text));
        return;
    }

    if (json_find(message, "id") == nullptr) return;
    const std::uint64_t id = json_u64_or(message, "id", 0);
    const std::string error = json_string_or(message, "error", "");
    const JsonValue* result = json_find(message, "result");

    if (id == 1) {
        if (!error.empty()) {
            login_refused_ = true;
            log("login refused: " + printable(error));
            return;
        }
        if (result != nullptr && json_find(*result, "job_id") != nullptr) parse_job(*result);
        log("logged in");
        return;
    }

    // Only the answer to a submission of this connection still awaiting one
    // is a verdict; anything else would let a pool count shares never sent.
    if (!take_pending(id)) {
        if (!stray_told_) log("ignoring a reply with id " + std::to_string(id) + ": no share awaits it");
        stray_told_ = true;
        return;
    }
    const Verdict verdict = share_verdict(message);
    if (on_share_) on_share_(verdict.accepted, verdict.text);
}

void Pool::parse_job(const JsonValue& fields) {
    std::optional<Job> decoded = decode_job(fields);
    if (!decoded) {
        log("job rejected: bad header_base/target");
        return;
    }
    Job next = std::move(*decoded);
    if (next.difficulty != 0) last_difficulty_ = next.difficulty;

    const std::uint64_t height = next.height;
    const std::uint64_t difficulty = next.difficulty;
    Job stored;
    {
        std::lock_guard<std::mutex> lock(job_mutex_);
        // The same job again (a pool re-sends it, often after a reconnect)
        // keeps its number, so the mining threads go on with their walk
        // instead of hashing, and submitting, the same nonces again.
        const bool same = next.valid && job_pool_ == current_pool_.load() && same_work(next, job_);
        next.seq = same ? job_.seq : job_counter_.fetch_add(1) + 1;
        next.connection = connection_count_.load();
        job_ = std::move(next);
        job_pool_ = current_pool_.load();
        deliveries_.fetch_add(1);
        stored = job_;
    }
    log("new job \xE2\x80\x94 height " + std::to_string(height) + ", difficulty " + std::to_string(difficulty));
    send_held(stored);
}

}  // namespace nolu::qxt
