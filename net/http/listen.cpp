#include "net/http/listen.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/host_port.hpp"
#include "net/resolver.hpp"
#include "common/unique_fd.hpp"

namespace nolu::qxt {

namespace {

// The numeric host and the port of a bound socket.
void describe_socket(int fd, HttpListener& listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST] = "?";
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    if (address.ss_family == AF_INET) listener.port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) listener.port = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    const std::string shown = address.ss_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host);
    listener.url = "http://" + shown + ":" + std::to_string(listener.port);
}

}  // namespace

Expected<HttpEndpoint> parse_http_endpoint(std::string_view text) {
    const std::string what = "--http " + std::string(text);
    const Expected<HostPortText> parts = split_host_port(text);
    const char* ipv6_form = ": write an IPv6 address as [address]:port";
    if (!parts) return fail(what + ipv6_form);
    HttpEndpoint endpoint;
    std::string_view port = parts->host;  // a bare word is the port
    if (parts->bracketed) {
        if (parts->host.empty() || !parts->port) return fail(what + ipv6_form);
        endpoint.host = std::string(parts->host);
        port = *parts->port;
    } else if (parts->port) {
        if (parts->host.find(':') != std::string_view::npos) return fail(what + ipv6_form);
        if (parts->host.empty())
            return fail(what + ": give a host before the colon (0.0.0.0 for every interface) or a bare port");
        endpoint.host = std::string(parts->host);
        port = *parts->port;
    }
    const std::optional<std::uint16_t> number = nolu::qxt::parse_port(port);
    if (!number) return fail(what + ": the port must be 0 to 65535");
    endpoint.port = *number;
    return endpoint;
}

bool is_loopback_address(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
        return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
    }
    return false;
}

Status check_http_guard(const sockaddr* address, bool token_set, std::string_view given) {
    if (token_set || is_loopback_address(address)) return success();
    return fail("--http " + std::string(given) +
                " would serve beyond loopback without a token: add --http-token <t> (or listen on 127.0.0.1)");
}

Expected<HttpListener> open_http_listener(const HttpEndpoint& endpoint, bool token_set, std::string_view given) {
    const std::string what = "--http " + std::string(given);
    // The pools' resolver (c-ares): a static binary cannot load the C
    // library's name-service modules, and a rig may have no hosts file.
    ResolverSettings lookup;
    lookup.budget = std::chrono::seconds(5);
    const Lookup found = resolve_host(endpoint.host, lookup);
    if (!found || found.value().empty())
        return fail(what + ": cannot resolve " + endpoint.host + ": " +
                    lookup_error_text(found ? LookupError{LookupError::Kind::not_found} : found.error()));
    const SocketAddress address = socket_address(found.value().front(), endpoint.port);
    const std::string port = std::to_string(endpoint.port);

    HttpListener listener;
    listener.loopback = is_loopback_address(address.get());
    if (const Status guarded = check_http_guard(address.get(), token_set, given); !guarded) return guarded.error();
    UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        const int error = errno;
        return fail(what + ": cannot open a socket: " + std::strerror(error));
    }
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // a restart need not wait out TIME_WAIT
    const bool bound = ::bind(fd.get(), address.get(), address.length) == 0 && ::listen(fd.get(), 64) == 0;
    const int error = errno;
    if (!bound) {
        return fail("cannot listen on " + endpoint.host + ":" + port + " (" + what + "): " + std::strerror(error));
    }
    describe_socket(fd.get(), listener);
    listener.fd = fd.release();
    return listener;
}

}  // namespace nolu::qxt
