// The pool client's clocks: every wait, time-out and socket setting of the
// connection thread, in one value so tests can shorten them.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

namespace nolu::qxt {

struct PoolTiming {
    // The unit of every wait: retry sleeps (a back-off step of 5 s is 50 of
    // them), and the polling of connects, lookups, probes and stalled sends.
    std::chrono::milliseconds step{100};
    std::chrono::milliseconds resolve_timeout{20000};  // a name lookup, on its resolver thread
    std::chrono::milliseconds connect_timeout{10000};  // each address of the name, TLS handshake included
    std::chrono::milliseconds attempt_budget{30000};   // a pool's lookup and connects in all, before the next pool
    std::chrono::milliseconds job_timeout{30000};      // from the connect to the first job
    std::chrono::milliseconds primary_retry{180000};   // while on a backup pool: try the primary again
    std::chrono::milliseconds probe_hold{60000};       // the primary must hold its job this long on the probe
    std::chrono::milliseconds min_session{60000};      // a session that ends sooner after its first job has failed
    std::chrono::milliseconds read_poll{1000};         // longest single wait for the pool's lines
    // A connection that stops answering is noticed after about
    // keepalive_idle + keepalive_count * keepalive_interval seconds, or
    // user_timeout after data it sent went unacknowledged.
    int keepalive_idle_s = 60;
    int keepalive_interval_s = 10;
    int keepalive_count = 5;
    std::chrono::milliseconds user_timeout{110000};
};

// "30 s", or "0.3 s" for the short times of tests.
inline std::string duration_text(std::chrono::milliseconds time) {
    const long long ms = time.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

// A poll() time-out that lasts until `when`: milliseconds, rounded up so a
// wake-up is never early; 0 once it has passed.
inline int poll_ms_until(std::chrono::steady_clock::time_point when) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - std::chrono::steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 1 << 30));
}

// The random source of the back-off jitter: a number in [0, 1).
using JitterFn = std::function<double()>;

}  // namespace nolu::qxt
