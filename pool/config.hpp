// What the pool client is started with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nolu::qxt {

struct Endpoint {
    std::string host;
    std::uint16_t port = 3333;
    bool operator==(const Endpoint&) const = default;
};

// "host:port", as the console and the status report name a pool.
inline std::string endpoint_text(const Endpoint& endpoint) {
    return endpoint.host + ":" + std::to_string(endpoint.port);
}

struct Config {
    std::string host;
    std::uint16_t port = 3333;
    std::vector<Endpoint> backups;  // tried in order when the pool before them fails
    std::string address;
    std::string worker;
    std::string agent;
    std::int64_t difficulty_hint = 0;
};

}  // namespace nolu::qxt
