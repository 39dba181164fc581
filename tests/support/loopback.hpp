// Sockets on 127.0.0.1 for the tests' own servers and closed ports.
#pragma once

#include <cstdint>

namespace nolu::qxt::test {

// Binds fd to 127.0.0.1:port (port 0: one the system picks) and returns the
// port it is bound to, or 0 when the bind failed.
std::uint16_t bind_loopback(int fd, std::uint16_t port = 0);

// A TCP listener on 127.0.0.1:port (port 0: one the system picks) with
// SO_REUSEADDR, or -1 when the bind or listen failed.
int listen_loopback(std::uint16_t port, int backlog);

// The local port fd is bound to, or 0.
std::uint16_t bound_port(int fd);

}  // namespace nolu::qxt::test
