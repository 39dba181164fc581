// A TCP connect that gives up at a deadline or when asked to stop, and the
// reason texts of socket errors.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "common/unique_fd.hpp"
#include "net/ip_address.hpp"

namespace nolu::qxt {

inline constexpr int connect_timed_out = -1;  // connect_with_deadline's code for its deadline
inline constexpr int connect_stopped = -2;    // keep_going turned false

struct Connect {
    UniqueFd fd;    // connected, non-blocking, close-on-exec; empty on failure
    int error = 0;  // an errno value, connect_timed_out or connect_stopped
};

// Connects to `to`, polling in steps of at most `step` so that keep_going
// is asked at least that often.
Connect connect_with_deadline(const SocketAddress& to, std::chrono::steady_clock::time_point deadline,
                              std::chrono::milliseconds step, const std::function<bool()>& keep_going);

// "connection refused", "timed out", "network unreachable", "no route to
// host", "reset by the pool", else the system's text.
std::string socket_error_text(int error);

// Which failure to tell when several addresses failed differently: the one
// that says most about the host (higher is more telling).
int connect_error_weight(int error);

}  // namespace nolu::qxt
