// Host names to addresses through c-ares, which reads the hosts file and
// resolv.conf itself (search, ndots, options) and asks the name servers over
// UDP with TCP fallback: a static binary cannot load the C library's name
// service modules. Numeric addresses are answered without a lookup;
// "localhost" and names under ".localhost" are the loopback addresses when
// the hosts file does not list them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.hpp"
#include "net/ip_address.hpp"

namespace nolu::qxt {

struct LookupError {
    enum class Kind {
        not_found,  // no such name, or it has no address
        timed_out,  // no name server answered in time
        failed,     // the name servers refused or failed
    };
    Kind kind = Kind::not_found;
};

// "name not found", "name lookup timed out", "name lookup failed".
const char* lookup_error_text(LookupError error);

using Lookup = Expected<std::vector<IpAddress>, LookupError>;

// Turns a host name into its addresses; the pool client takes one so tests
// can give it another.
using ResolveFn = std::function<Lookup(const std::string& host)>;

struct ResolverSettings {
    // etc/hosts and etc/resolv.conf are read below it; tests give another
    // tree (then the hosts file is named to c-ares through CARES_HOSTS).
    std::string root = "/";
    std::uint16_t dns_port = 53;              // tests use a server on another port
    std::chrono::milliseconds budget{30000};  // the lookup is cancelled after this
    // Each query's time-out and tries; 0: c-ares's own (5 s, 4 tries; the
    // c-ares of Debian 12 takes resolv.conf's ndots and search, not its
    // timeout and attempts). The budget bounds the whole lookup either way.
    std::chrono::milliseconds try_timeout{0};
    int tries = 0;
};

// The addresses of host (a name, or a numeric address, IPv6 also in
// brackets), each once: IPv4 before IPv6, each family in the order the
// hosts file or the name servers gave.
Lookup resolve_host(std::string_view host, const ResolverSettings& settings = {});

// Lower-case ASCII, without one trailing dot: the form names are compared in.
std::string normal_host_name(std::string_view name);

}  // namespace nolu::qxt
