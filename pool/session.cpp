// The pool client's connection thread.
//
// The thread works through the pool list (the primary, then the backups): it
// looks the pool's name up on a resolver thread, connects to its addresses
// (at most 8, the families alternating) with a time-out each, for a TLS pool
// runs the handshake and checks the certificate, all within about 30 s per
// attempt; then it logs in and reads lines for the protocol layer. A pool
// that cannot be reached, refuses the login three times running, gives no
// job within the job time-out, goes silent under keepalive, or ends the
// session before its first job or within a minute of it has failed: the
// next attempt goes to the next pool in the list. Between attempts it waits
// 5, 10, 20, 40 and then 60 s (each with ±20 % jitter), back to 5 s after a
// session that held. While on a backup it tries the primary on the side
// every few minutes and moves back once the primary has given a job and held
// it for a minute. Every wait (retry sleeps, lookups, connects, handshakes,
// send stalls, reads) is cut into short steps that watch `running`, so
// `Pool::stop` returns promptly whatever the pool, the network or the name
// servers do.
#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include <poll.h>

#include "common/clock.hpp"
#include "net/connect.hpp"
#include "net/lookups.hpp"
#include "pool/backoff.hpp"
#include "pool/connector.hpp"
#include "pool/pool.hpp"
#include "pool/probe.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t recv_chunk = 8192;
// Longest unfinished line the client buffers before it gives up on the pool.
constexpr std::size_t max_partial_line = 1048576;
// A pool that refuses the login this many times running is left for the next one.
constexpr int refusals_before_moving_on = 3;

std::string connected_text(const std::string& label, const Stream& stream) {
    if (!stream.tls()) return "connected to " + label;
    return "connected to " + label + " over " + stream.tls_version() + ", certificate SHA-256 " + stream.fingerprint();
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

void Pool::log(const std::string& text) {
    if (on_log_) on_log_(text);
}

void Pool::wait_steps(long tenths) {
    for (long i = 0; i < tenths; ++i) {
        if (!running_.load()) return;
        sleep_ms(static_cast<std::uint64_t>(timing_.step.count()));
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

void Pool::adopt(Stream& stream) {
    {
        // The connection number moves with the stream, under the same lock,
        // so a submission bound to an older connection sees the change.
        std::lock_guard<std::mutex> lock(send_mutex_);
        stream_ = &stream;
        connection_count_.fetch_add(1);
        std::lock_guard<std::mutex> pending(pending_mutex_);
        pending_.clear();
    }
    stray_told_ = false;
    send_stalled_ = false;
    connected_ = true;
}

void Pool::disconnect(Stream& stream) {
    connected_ = false;
    // Wake a submitter waiting for room before taking its lock.
    stream.shut_down();
    {
        std::lock_guard<std::mutex> lock(send_mutex_);
        stream_ = nullptr;
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

Pool::SessionEnd Pool::serve(Stream stream, const std::string* received) {
    tune_socket(stream.fd(), timing_);
    adopt(stream);
    const std::size_t here = current_pool_.load();
    const std::uint64_t deliveries_at_start = deliveries_.load();
    login_refused_ = false;
    log(connected_text(label(here), stream));

    std::string buffer;
    std::size_t scanned = 0;
    std::optional<Clock::time_point> first_job_at;
    if (received != nullptr) {
        buffer = *received;  // a probe logged in on this connection, read its job and held it
        feed(buffer, scanned);
        first_job_at = Clock::now() - timing_.min_session;
    } else {
        send_line(login_line());
    }
    bool any_bytes = received != nullptr;
    bool closed_by_pool = false;

    SessionEnd end;
    const Clock::time_point job_deadline = Clock::now() + timing_.job_timeout;
    Clock::time_point next_probe = Clock::now() + timing_.primary_retry;
    Probe probe;
    short events = POLLIN;
    char chunk[recv_chunk];
    while (running_.load()) {
        end.got_job = deliveries_.load() != deliveries_at_start;
        if (end.got_job && !first_job_at) first_job_at = Clock::now();
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
                if (result.stream) {
                    end.switch_to_primary = true;
                    end.primary = std::move(result);
                    break;
                }
                log("primary pool " + label(0) + " still unavailable (" + result.reason + ")");
                next_probe = Clock::now() + timing_.primary_retry;
            } else if (!probe.running() && Clock::now() >= next_probe) {
                probe.start(pools_[0], tls_ca_, login_line(), *lookups_, timing_);
            }
            wait_ms = std::min(wait_ms, probe.running() ? static_cast<int>(timing_.step.count())
                                                        : poll_ms_until(next_probe));
        }

        if (!stream.buffered()) {
            pollfd p{stream.fd(), events, 0};
            const int ready = ::poll(&p, 1, std::max(wait_ms, 0));
            if (ready < 0) {
                if (errno == EINTR) continue;
                end.failed = true;
                end.note = "lost " + label(here) + ": " + socket_error_text(errno);
                break;
            }
            if (ready == 0) continue;
        }
        const StreamIo io = stream.read(chunk, sizeof chunk);
        if (io.kind == StreamIo::Kind::would_block) {
            events = io.wait_events;
            continue;
        }
        events = POLLIN;
        if (io.kind == StreamIo::Kind::closed || (io.kind == StreamIo::Kind::error && io.error == ECONNRESET)) {
            if (send_stalled_.load()) continue;  // our own shut-down; told above
            closed_by_pool = true;
            break;
        }
        if (io.kind == StreamIo::Kind::error) {
            end.failed = true;
            end.note = io.error == ETIMEDOUT ? label(here) + " stopped answering: the connection is dead"
                                             : "lost " + label(here) + ": " + socket_error_text(io.error);
            break;
        }
        const bool first_bytes = !any_bytes;
        any_bytes = true;
        buffer.append(chunk, io.bytes);
        if (first_bytes && !stream.tls() && looks_like_tls(buffer)) {
            end.failed = true;
            end.note = label(here) + " answered in TLS: the port speaks TLS (use stratum+ssl://" + label(here) +
                       " or --tls)";
            break;
        }
        if (!feed(buffer, scanned)) {
            end.failed = true;
            end.note = label(here) + " sent a line over 1 MiB";
            break;
        }
    }
    end.got_job = deliveries_.load() != deliveries_at_start;
    if (end.got_job && !first_job_at) first_job_at = Clock::now();
    if (closed_by_pool) {
        // Closed by the pool: a failure before its first job, and within
        // the minimum session after it (a pool that drops every session
        // would otherwise hold the miner for ever).
        const auto lasted = first_job_at ? Clock::now() - *first_job_at : Clock::duration{};
        end.failed = !end.got_job || lasted < timing_.min_session;
        if (end.got_job && end.failed)
            end.note = label(here) + " ended the session " +
                       duration_text(std::chrono::duration_cast<std::chrono::milliseconds>(lasted)) +
                       " after its first job";
        if (!any_bytes && !stream.tls())
            end.note = label(here) + " closed the connection without a reply (if the port speaks TLS: "
                       "stratum+ssl://" + label(here) + " or --tls)";
    }
    probe.cancel();
    disconnect(stream);
    return end;
}

void Pool::connection_loop() {
    Backoff backoff(jitter_);
    int refusals = 0;
    ProbeResult handed;  // the primary's connection, taken over from a probe
    while (running_.load()) {
        Stream stream = std::move(handed.stream);
        const bool from_probe = static_cast<bool>(stream);
        if (!from_probe) {
            const std::size_t index = current_pool_.load();
            Connected connected =
                open_connection(pools_[index], tls_ca_, *lookups_, timing_, [this] { return running_.load(); });
            if (!connected.stream) {
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
            stream = std::move(connected.stream);
        } else {
            current_pool_ = 0;
        }

        SessionEnd end = serve(std::move(stream), from_probe ? &handed.received : nullptr);
        handed = ProbeResult{};
        if (end.switch_to_primary) {
            if (!running_.load()) break;
            current_pool_ = 0;
            log("primary pool " + label(0) + " gives jobs again, switching back");
            handed = std::move(end.primary);
            backoff.reset();
            refusals = 0;
            continue;
        }
        if (!running_.load()) break;
        if (end.got_job && !end.failed) backoff.reset();
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
}

}  // namespace nolu::qxt
