// The hosts file (/etc/hosts): "address name [aliases...]" per line, '#'
// to the end of a line is a comment.
#pragma once

#include <string_view>
#include <vector>

#include "net/ip_address.hpp"

namespace nolu::qxt {

// Every address listed for name (compared without regard to ASCII case and
// to one trailing dot), IPv4 and IPv6, in the order of the file, each once.
// Lines whose first field is not a numeric address are skipped.
std::vector<IpAddress> hosts_lookup(std::string_view text, std::string_view name);

// Lower-case ASCII, without one trailing dot: the form names are compared in.
std::string normal_host_name(std::string_view name);

}  // namespace nolu::qxt
