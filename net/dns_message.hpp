// DNS messages (RFC 1035): the query the resolver sends and the reading of
// the reply, which comes from the network and is checked as such: every
// length against the message, compression pointers only backwards, names at
// most 255 bytes, a bounded CNAME chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/ip_address.hpp"

namespace nolu::qxt {

inline constexpr std::uint16_t dns_type_a = 1;
inline constexpr std::uint16_t dns_type_cname = 5;
inline constexpr std::uint16_t dns_type_aaaa = 28;

// The wire form of a host name: length-prefixed labels in lower case and a
// zero byte. Nothing when the name cannot be asked for (an empty label, a
// label over 63 bytes, over 255 bytes in all). One trailing dot is allowed.
std::optional<std::string> dns_wire_name(std::string_view name);

// A standard query with recursion desired for one name (wire form) and type.
std::vector<std::uint8_t> dns_query(std::uint16_t id, const std::string& wire_name, std::uint16_t type);

struct DnsReply {
    enum class Kind {
        answer,          // NOERROR: addresses holds what was found (possibly nothing)
        no_such_name,    // NXDOMAIN
        server_failure,  // SERVFAIL, REFUSED or another error code: ask another server
        not_ours,        // not a reply to this query (id, question) or not a DNS reply at all
    };
    Kind kind = Kind::not_ours;
    bool truncated = false;            // TC set: the answer did not fit; ask over TCP
    std::vector<IpAddress> addresses;  // records of the type asked for, at the end of the CNAME chain
};

// Reads the reply to the query (id, wire_name, type) in data[0..size).
DnsReply parse_dns_reply(const std::uint8_t* data, std::size_t size, std::uint16_t id, const std::string& wire_name,
                         std::uint16_t type);

}  // namespace nolu::qxt
