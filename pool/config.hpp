// What the pool client is started with.
#pragma once

#include <cstdint>
#include <string>

namespace nolu::qxt {

struct Config {
    std::string host;
    std::uint16_t port = 3333;
    std::string address;
    std::string worker;
    std::string agent;
    std::int64_t difficulty_hint = 0;
};

}  // namespace nolu::qxt
