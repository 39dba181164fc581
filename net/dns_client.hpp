// One name server asked for the IPv4 and IPv6 addresses of one name: both
// queries over UDP at once, again over TCP when a reply is truncated (or
// from the start with "options use-vc"), within one time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "net/ip_address.hpp"

namespace nolu::qxt {

struct ServerAnswer {
    enum class Kind {
        addresses,     // addresses holds at least one (IPv4 first)
        no_such_name,  // the server says the name does not exist
        no_data,       // the name exists but has no address
        failure,       // the server refused or failed, or sent nothing usable
        timed_out,     // no answer in time
    };
    Kind kind = Kind::timed_out;
    std::vector<IpAddress> addresses;
};

ServerAnswer ask_name_server(const IpAddress& server, std::uint16_t port, const std::string& wire_name,
                             std::chrono::milliseconds timeout, bool tcp_only);

}  // namespace nolu::qxt
