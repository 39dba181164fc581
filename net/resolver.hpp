// Host names to addresses without the C library's name service (which a
// static binary cannot load): numeric addresses, then the hosts file, then
// "localhost" and names under ".localhost" as the loopback addresses, then
// DNS over UDP (and TCP) to the name servers of resolv.conf.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.hpp"
#include "net/ip_address.hpp"
#include "net/resolv_conf.hpp"

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
    std::string root = "/";                        // etc/hosts and etc/resolv.conf are read below it
    std::uint16_t dns_port = 53;                   // tests use a server on another port
    std::chrono::milliseconds budget{30000};       // no new query starts after this
};

// The addresses of host (a name, or a numeric address, IPv6 also in
// brackets): those of the hosts file in its order; from DNS, IPv4 first.
Lookup resolve_host(std::string_view host, const ResolverSettings& settings = {});

// The names the DNS is asked for, in order, given the search list and ndots.
std::vector<std::string> search_candidates(std::string_view name, const ResolvConf& conf);

}  // namespace nolu::qxt
