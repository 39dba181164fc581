// Reaching a pool: its name looked up on a resolver thread, then a TCP
// connect to each of its addresses in turn (at most 8, the two families
// alternating), each with a time-out, and for a TLS pool the handshake and
// the certificate check; all of it within the attempt's budget. And the
// socket settings of an established connection.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/timing.hpp"
#include "net/lookups.hpp"
#include "net/stream.hpp"
#include "pool/config.hpp"

namespace nolu::qxt {

// Addresses tried per name at most.
inline constexpr std::size_t max_addresses_per_name = 8;

struct Connected {
    Stream stream;       // connected (and, for a TLS pool, its certificate accepted); empty on failure
    std::string reason;  // why not: "name not found", "connection refused", "timed out", a TLS refusal, ...
};

// Gives up (no stream, empty reason) as soon as keep_going turns false.
// tls_ca: a private CA's file for TLS pools (empty: the system's store).
Connected open_connection(const Endpoint& endpoint, const std::string& tls_ca, Lookups& lookups,
                          const PoolTiming& timing, const std::function<bool()>& keep_going);

// The order addresses are tried in: the families alternate, starting with
// the first address's, at most max_addresses_per_name in all.
std::vector<IpAddress> connect_order(const std::vector<IpAddress>& found);

// TCP_NODELAY, and keepalive and TCP_USER_TIMEOUT as timing gives them.
void tune_socket(int fd, const PoolTiming& timing);

// The host for name checks and SNI: without an IPv6 address's brackets.
std::string bare_host(const std::string& host);

}  // namespace nolu::qxt
