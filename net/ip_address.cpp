#include "net/ip_address.hpp"

#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include "common/decimal.hpp"

namespace nolu::qxt {

namespace {

// The zone of a scoped IPv6 address: an interface name or its index.
std::optional<std::uint32_t> parse_zone(std::string_view zone) {
    if (zone.empty() || zone.size() >= IF_NAMESIZE) return std::nullopt;
    if (zone.find_first_not_of("0123456789") == std::string_view::npos) {
        const std::optional<std::uint64_t> index = parse_decimal(zone, 0xFFFFFFFFu);
        if (!index) return std::nullopt;
        return static_cast<std::uint32_t>(*index);
    }
    const std::string name(zone);
    const unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) return std::nullopt;
    return index;
}

}  // namespace

IpAddress ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    IpAddress address;
    address.bytes[0] = a;
    address.bytes[1] = b;
    address.bytes[2] = c;
    address.bytes[3] = d;
    return address;
}

IpAddress ipv6_loopback() {
    IpAddress address;
    address.v6 = true;
    address.bytes[15] = 1;
    return address;
}

std::optional<IpAddress> parse_ip_literal(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    // The longest IPv6 text is 45 characters; with a zone, a little more.
    if (text.empty() || text.size() > 45 + IF_NAMESIZE) return std::nullopt;
    IpAddress address;
    std::string plain(text);
    if (plain.find(':') == std::string::npos) {
        if (::inet_pton(AF_INET, plain.c_str(), address.bytes.data()) != 1) return std::nullopt;
        return address;
    }
    const std::size_t percent = plain.find('%');
    if (percent != std::string::npos) {
        const std::optional<std::uint32_t> zone = parse_zone(std::string_view(plain).substr(percent + 1));
        if (!zone) return std::nullopt;
        address.scope = *zone;
        plain.resize(percent);
    }
    if (::inet_pton(AF_INET6, plain.c_str(), address.bytes.data()) != 1) return std::nullopt;
    address.v6 = true;
    return address;
}

std::string to_string(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text);
    std::string out = text;
    if (address.v6 && address.scope != 0) out += "%" + std::to_string(address.scope);
    return out;
}

SocketAddress socket_address(const IpAddress& address, std::uint16_t port) {
    SocketAddress out;
    if (address.v6) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        std::memcpy(&in6.sin6_addr, address.bytes.data(), 16);
        in6.sin6_scope_id = address.scope;
        std::memcpy(&out.storage, &in6, sizeof in6);
        out.length = sizeof in6;
    } else {
        sockaddr_in in4{};
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        std::memcpy(&in4.sin_addr, address.bytes.data(), 4);
        std::memcpy(&out.storage, &in4, sizeof in4);
        out.length = sizeof in4;
    }
    return out;
}

}  // namespace nolu::qxt
