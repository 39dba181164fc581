// IP addresses as the resolver hands them to the connection code: numeric
// literals, text for logs, and the socket address to connect to.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <sys/socket.h>

namespace nolu::qxt {

struct IpAddress {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};  // network order; IPv4 uses the first 4
    std::uint32_t scope = 0;               // IPv6 zone (interface index), 0 = none

    bool operator==(const IpAddress&) const = default;
};

IpAddress ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
IpAddress ipv6_loopback();

// A numeric address: dotted-quad IPv4 ("192.0.2.7") or IPv6 ("2001:db8::1"),
// IPv6 also in brackets ("[::1]") and with a zone ("fe80::1%eth0" or
// "fe80::1%2"). Nothing for anything else, names included.
std::optional<IpAddress> parse_ip_literal(std::string_view text);

// "192.0.2.7", "2001:db8::1" (with "%<index>" when scoped).
std::string to_string(const IpAddress& address);

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

SocketAddress socket_address(const IpAddress& address, std::uint16_t port);

}  // namespace nolu::qxt
