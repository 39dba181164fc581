// The resolver configuration (/etc/resolv.conf): name servers, the search
// list and the options that shape the queries.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "net/ip_address.hpp"

namespace nolu::qxt {

struct ResolvConf {
    std::vector<IpAddress> nameservers;  // at most 3, in file order; the local host when none is listed
    std::vector<std::string> search;     // at most 6 domains, lower case, without a trailing dot
    int ndots = 1;                       // 0 to 15
    int timeout_s = 5;                   // per try, 1 to 30
    int attempts = 2;                    // rounds over the servers, 1 to 5
    bool rotate = false;                 // start each lookup at the next server
    bool use_tcp = false;                // "options use-vc": TCP from the start
};

inline constexpr std::size_t resolv_max_nameservers = 3;
inline constexpr std::size_t resolv_max_search = 6;

// Reads the file's text the way the system's own resolver does, as far as
// it goes: "nameserver", "search" and "domain" (the later of the two wins),
// "options" with ndots:, timeout:, attempts:, rotate and use-vc; '#' and
// ';' start comments; anything else is ignored.
ResolvConf parse_resolv_conf(std::string_view text);

}  // namespace nolu::qxt
