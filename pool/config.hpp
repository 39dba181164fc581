// What the pool client is started with.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nolu::qxt {

struct Endpoint {
    Endpoint() = default;
    Endpoint(std::string host_, std::uint16_t port_, bool tls_ = false, std::string fingerprint_ = {})
        : host(std::move(host_)), port(port_), tls(tls_), fingerprint(std::move(fingerprint_)) {}

    std::string host;  // a name or an address; an IPv6 address keeps its brackets
    std::uint16_t port = 3333;
    bool tls = false;
    std::string fingerprint;  // TLS: the leaf certificate's pinned SHA-256 (64 lower-case digits), or empty
    bool operator==(const Endpoint&) const = default;
};

// "host:port", as the console and the status report name a pool.
inline std::string endpoint_text(const Endpoint& endpoint) {
    return endpoint.host + ":" + std::to_string(endpoint.port);
}

struct Config {
    std::string host;
    std::uint16_t port = 3333;
    bool tls = false;               // the pool (host:port) speaks TLS
    std::string fingerprint;        // its pinned certificate, if any
    std::vector<Endpoint> backups;  // tried in order when the pool before them fails
    std::string tls_ca;             // a private CA's PEM file for every TLS pool; empty: the system's store
    std::string address;
    std::string worker;
    std::string agent;
    std::int64_t difficulty_hint = 0;
};

}  // namespace nolu::qxt
