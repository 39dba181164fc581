// The pool client's connection thread and its one send path.
//
// The thread works through the pool list (the primary, then the backups): it
// looks the pool's name up on a resolver thread, connects to each address
// with a time-out, logs in and reads lines for the protocol layer. A pool
// that cannot be reached, refuses the login three times running, gives no
// job within the job time-out, goes silent under keepalive or closes before
// any job has failed: the next attempt goes to the next pool in the list.
// Between attempts it waits 5, 10, 20, 40 and then 60 s (each with ±20 %
// jitter), back to 5 s after a connection that delivered a job. While on a
// backup it tries the primary on the side every few minutes and moves back
// once the primary gives a job. Every wait (retry sleeps, lookups, connects,
// send stalls, reads) is cut into short steps that watch `running`, so
// `Pool::stop` returns promptly whatever the pool, the network or the name
// servers do.
#include "pool/pool.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <utility>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "pool/backoff.hpp"
#include "pool/connector.hpp"
#include "net/lookups.hpp"
#include "pool/probe.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t recv_chunk = 8192;
// Longest unfinished line the client buffers before it gives up on the pool.
constexpr std::size_t max_partial_line = 1048576;
// A line that makes no progress for this many wait steps (10 s by default) is
// given up: the pool has stopped reading.
constexpr int send_stall_steps = 100;
// A pool that refuses the login this many times running is left for the next one.
constexpr int refusals_before_moving_on = 3;

void sleep_for(std::chrono::milliseconds step) {
    timespec request{};
    request.tv_sec = static_cast<time_t>(step.count() / 1000);
    request.tv_nsec = static_cast<long>((step.count() % 1000) * 1000000);
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

PoolTiming with_step(std::chrono::milliseconds step) {
    PoolTiming timing;
    timing.step = step;
    return timing;
}

}  // namespace

// How one connection ended.
struct Pool::SessionEnd {
    bool got_job = false;        // it delivered at least one job
    bool failed = false;         // it counts as a failure of the pool
    bool refused = false;        // the failure was a refused login
    std::string note;            // why, logged before "connection lost" (empty: the pool closed it)
    ProbeResult primary;         // the primary's connection, when it took over
    bool switch_to_primary = false;
};

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
    std::vector<Endpoint> pools = {Endpoint{config.host, config.port}};
    pools.insert(pools.end(), config.backups.begin(), config.backups.end());
    if (pools != pools_) {
        pools_ = std::move(pools);
        current_pool_ = 0;
    }
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
        if (sock_ != -1) ::shutdown(sock_, SHUT_RDWR);
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
    // A share of a job from an earlier connection never goes out on a later
    // one (and takes no submission id); the send re-checks under its lock.
    // Every change of pool is a new connection, so no share of one pool's
    // job reaches another pool.
    if (job.connection == 0 || connection_count_.load() != job.connection) return false;
    return submit_share(job.job_id, nonce, hash, job.connection);
}

Endpoint Pool::pool_in_use() const {
    const std::size_t index = current_pool_.load();
    return index < pools_.size() ? pools_[index] : Endpoint{host_, port_};
}

Config Pool::config() const {
    Config c;
    c.host = host_;
    c.port = port_;
    if (pools_.size() > 1) c.backups.assign(pools_.begin() + 1, pools_.end());
    c.address = address_;
    c.worker = worker_;
    c.difficulty_hint = static_cast<std::int64_t>(difficulty_hint_);
    return c;
}

bool Pool::send_line(std::string_view line) {
    return send_whole(line, 0);
}

bool Pool::send_whole(std::string_view line, std::uint64_t connection) {
    std::string data;
    data.reserve(line.size() + 1);
    data.append(line);
    data.push_back('\n');

    const int step_ms = static_cast<int>(timing_.step.count());
    std::lock_guard<std::mutex> lock(send_mutex_);
    if (sock_ == -1) return false;
    if (connection != 0 && connection_count_.load() != connection) return false;

    // Non-blocking writes, waiting for room in short steps: a pool that stops
    // reading cannot hold this thread (and with it send_mutex, which
    // Pool::stop and the disconnect need) for longer than the stall limit.
    const auto stall_limit = timing_.step * send_stall_steps;
    auto give_up_at = Clock::now() + stall_limit;
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(sock_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            give_up_at = Clock::now() + stall_limit;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && running_.load()) {
            if (Clock::now() >= give_up_at) {
                send_stalled_ = true;
                break;
            }
            pollfd p{sock_, POLLOUT, 0};
            ::poll(&p, 1, step_ms);
            continue;
        }
        break;
    }
    if (sent == data.size()) return true;
    // The line did not go out whole. Whatever part of it did is already on the
    // wire, and the next line would be glued onto it; a connection that
    // fails a send or stalls is finished anyway. Shut it down so the
    // connection thread reconnects cleanly.
    ::shutdown(sock_, SHUT_RDWR);
    return false;
}

void Pool::log(const std::string& text) {
    if (on_log_) on_log_(text);
}

void Pool::wait_steps(long tenths) {
    for (long i = 0; i < tenths; ++i) {
        if (!running_.load()) return;
        sleep_for(timing_.step);
    }
}

std::string Pool::label(std::size_t index) const {
    return endpoint_text(pools_[index]);
}

void Pool::move_on() {
    if (pools_.size() < 2) return;
    const std::size_t next = (current_pool_.load() + 1) % pools_.size();
    current_pool_ = next;
    log(next == 0 ? "switching back to the primary pool " + label(0) : "switching to backup pool " + label(next));
}

void Pool::adopt(int fd) {
    {
        // The connection number moves with the descriptor, under the same
        // lock, so a submission bound to an older connection sees the change.
        std::lock_guard<std::mutex> lock(send_mutex_);
        sock_ = fd;
        connection_count_.fetch_add(1);
    }
    send_stalled_ = false;
    connected_ = true;
}

void Pool::disconnect(int fd) {
    connected_ = false;
    // Wake a submitter waiting for room before taking its lock; only this
    // thread closes fd, so it is still ours to shut down.
    ::shutdown(fd, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> lock(send_mutex_);
        ::close(fd);
        sock_ = -1;
    }
    std::lock_guard<std::mutex> lock(job_mutex_);
    job_.valid = false;
}

bool Pool::feed(std::string& buffer, std::size_t& scanned) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = buffer.find('\n', start + scanned);
        if (end == std::string::npos) break;
        scanned = 0;
        if (end > start) {
            const std::string_view line(buffer.data() + start, end - start);
            try {
                handle_line(line);
            } catch (...) {
                // Out of memory on a huge line: drop the line, keep the connection.
            }
        }
        start = end + 1;
    }
    buffer.erase(0, start);
    scanned = buffer.size();
    return buffer.size() <= max_partial_line;
}

Pool::SessionEnd Pool::serve(int fd, const std::string* received) {
    tune_socket(fd, timing_);
    adopt(fd);
    const std::size_t here = current_pool_.load();
    const std::uint64_t deliveries_at_start = deliveries_.load();
    login_refused_ = false;
    log("connected to " + label(here));

    std::string buffer;
    std::size_t scanned = 0;
    if (received != nullptr) {
        buffer = *received;  // a probe logged in on this connection and read its job
        feed(buffer, scanned);
    } else {
        send_line(login_line());
    }

    SessionEnd end;
    const Clock::time_point job_deadline = Clock::now() + timing_.job_timeout;
    Clock::time_point next_probe = Clock::now() + timing_.primary_retry;
    Probe probe;
    char chunk[recv_chunk];
    while (running_.load()) {
        end.got_job = deliveries_.load() != deliveries_at_start;
        if (login_refused_) {
            end.failed = end.refused = true;
            break;
        }
        if (send_stalled_.load()) {
            end.failed = true;
            end.note = label(here) + " stopped reading: a line could not be sent for " +
                       duration_text(timing_.step * send_stall_steps);
            break;
        }
        if (!end.got_job && Clock::now() >= job_deadline) {
            end.failed = true;
            end.note = "no job from " + label(here) + " within " + duration_text(timing_.job_timeout);
            break;
        }
        int wait_ms = static_cast<int>(timing_.read_poll.count());
        if (!end.got_job) wait_ms = std::min(wait_ms, poll_ms_until(job_deadline));
        if (here != 0) {
            if (probe.finished()) {
                ProbeResult result = probe.take();
                if (result.fd >= 0) {
                    end.switch_to_primary = true;
                    end.primary = std::move(result);
                    break;
                }
                log("primary pool " + label(0) + " still unavailable (" + result.reason + ")");
                next_probe = Clock::now() + timing_.primary_retry;
            } else if (!probe.running() && Clock::now() >= next_probe) {
                probe.start(pools_[0], login_line(), *lookups_, timing_);
            }
            wait_ms = std::min(wait_ms, probe.running() ? static_cast<int>(timing_.step.count())
                                                        : poll_ms_until(next_probe));
        }

        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, std::max(wait_ms, 0));
        if (ready < 0) {
            if (errno == EINTR) continue;
            end.failed = true;
            end.note = "lost " + label(here) + ": " + socket_error_text(errno);
            break;
        }
        if (ready == 0) continue;
        ssize_t n;
        do {
            n = ::recv(fd, chunk, sizeof chunk, 0);
        } while (n < 0 && errno == EINTR);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            if (send_stalled_.load()) continue;  // our own shut-down; told above
            // Closed by the pool: a failure only before its first job.
            end.got_job = deliveries_.load() != deliveries_at_start;
            end.failed = !end.got_job;
            break;
        }
        if (n < 0) {
            end.failed = true;
            end.note = errno == ETIMEDOUT ? label(here) + " stopped answering: the connection is dead"
                                          : "lost " + label(here) + ": " + socket_error_text(errno);
            break;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        if (!feed(buffer, scanned)) {
            end.failed = true;
            end.note = label(here) + " sent a line over 1 MiB";
            break;
        }
    }
    end.got_job = deliveries_.load() != deliveries_at_start;
    probe.cancel();
    disconnect(fd);
    return end;
}

void Pool::connection_loop() {
    Backoff backoff(jitter_);
    int refusals = 0;
    ProbeResult handed;  // the primary's connection, taken over from a probe
    while (running_.load()) {
        int fd = handed.fd;
        if (fd < 0) {
            const std::size_t index = current_pool_.load();
            const Connected connected =
                open_connection(pools_[index], *lookups_, timing_, [this] { return running_.load(); });
            if (connected.fd < 0) {
                // A stop that cut the attempt short is not a failure to report.
                if (!running_.load()) break;
                const BackoffWait wait = backoff.next();
                log("cannot reach " + label(index) + ", retry in " + std::to_string(wait.seconds) + " s (" +
                    connected.reason + ")");
                refusals = 0;
                move_on();
                wait_steps(wait.tenths);
                continue;
            }
            fd = connected.fd;
        } else {
            current_pool_ = 0;
        }

        SessionEnd end = serve(fd, handed.fd >= 0 ? &handed.received : nullptr);
        handed = ProbeResult{};
        if (end.switch_to_primary) {
            if (!running_.load()) {
                ::close(end.primary.fd);
                break;
            }
            log("primary pool " + label(0) + " gives jobs again, switching back");
            handed = std::move(end.primary);
            backoff.reset();
            refusals = 0;
            continue;
        }
        if (!running_.load()) break;
        if (end.got_job) backoff.reset();
        if (end.got_job && !end.refused) refusals = 0;
        if (!end.note.empty()) log(end.note);
        const BackoffWait wait = backoff.next();
        log("connection lost, reconnecting in " + std::to_string(wait.seconds) + " s");
        const bool leave = end.refused ? ++refusals >= refusals_before_moving_on : end.failed;
        if (leave) {
            refusals = 0;
            move_on();
        }
        wait_steps(wait.tenths);
    }
    if (handed.fd >= 0) ::close(handed.fd);
}

}  // namespace nolu::qxt
