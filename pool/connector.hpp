// Reaching a pool: its name looked up on a resolver thread, then a TCP
// connect to each of its addresses in turn, each with a time-out; and the
// socket settings of an established connection.
#pragma once

#include <functional>
#include <string>

#include "pool/config.hpp"
#include "net/lookups.hpp"
#include "common/timing.hpp"

namespace nolu::qxt {

struct Connected {
    int fd = -1;         // connected, blocking, close-on-exec; -1 on failure
    std::string reason;  // why not: "name not found", "connection refused", "timed out", ...
};

// Gives up (fd -1, empty reason) as soon as keep_going turns false.
Connected open_connection(const Endpoint& endpoint, Lookups& lookups, const PoolTiming& timing,
                          const std::function<bool()>& keep_going);

// TCP_NODELAY, and keepalive and TCP_USER_TIMEOUT as timing gives them.
void tune_socket(int fd, const PoolTiming& timing);

// The reason text for a socket error number.
std::string socket_error_text(int error);

}  // namespace nolu::qxt
