// Where the status server listens: the --http value ("[host:]port"), the
// address it resolves to, whether that address is loopback, and the bound,
// listening socket.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/expected.hpp"

namespace nolu::qxt {

struct HttpEndpoint {
    std::string host = "127.0.0.1";  // a name, an IPv4 or an IPv6 address (without brackets)
    std::uint16_t port = 0;          // 0: any free port
};

// "9100" (127.0.0.1), "0.0.0.0:9100", "rig.lan:9100", "[::1]:9100". An IPv6
// address needs its brackets; the port is 0 to 65535 in decimal digits.
Expected<HttpEndpoint> parse_http_endpoint(std::string_view text);

// Whether the address is in 127.0.0.0/8, is ::1, or is an IPv4-mapped
// loopback address.
bool is_loopback_address(const sockaddr* address);

// An address beyond loopback needs a token: the refusal names what the user
// gave (the --http value); an address of loopback, or a token, passes.
Status check_http_guard(const sockaddr* address, bool token_set, std::string_view given);

struct HttpListener {
    int fd = -1;            // listening, non-blocking, close-on-exec
    bool loopback = true;
    std::uint16_t port = 0; // the port actually bound
    std::string url;        // "http://127.0.0.1:9100"
};

// Resolves the endpoint's host as the pools' names are (c-ares: numeric
// addresses, the hosts file, localhost, DNS; the first address), refuses an
// address beyond loopback unless a token guards it, binds and listens.
// The messages name what the user gave (the --http value).
Expected<HttpListener> open_http_listener(const HttpEndpoint& endpoint, bool token_set, std::string_view given);

}  // namespace nolu::qxt
