// "host:port" text, split one way for every address the miner is given:
// the pools and the status server's listen address.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/expected.hpp"

namespace nolu::qxt {

struct HostPortText {
    std::string_view host;               // without brackets
    std::optional<std::string_view> port;  // the text after the colon; none without one
    bool bracketed = false;              // written as "[host]" (an IPv6 address)
};

// "[host]:port" and "[host]" keep what is in the brackets; otherwise the host
// is everything before the last colon. Fails on a '[' without its ']', or
// a ']' followed by anything but ":port".
Expected<HostPortText> split_host_port(std::string_view text);

// A port of decimal digits only, 0 to 65535.
std::optional<std::uint16_t> parse_port(std::string_view digits);

}  // namespace nolu::qxt
