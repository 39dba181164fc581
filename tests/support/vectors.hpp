// The shipped verification records (tools/vectors.txt), for every test that
// checks a hash, and hexadecimal text for test messages.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/hex.hpp"

namespace nolu::qxt::test {

struct VectorRecord {
    std::array<std::uint8_t, 92> header{};
    std::uint64_t nonce = 0;
    std::array<std::uint8_t, 32> tag{};
};

// Every record of the file (read once); a malformed line ends the test run
// with a message rather than being skipped.
const std::vector<VectorRecord>& shipped_vectors();

// The path of tools/vectors.txt in the source tree.
std::string vectors_path();

template <std::size_t N>
std::string hex(const std::array<std::uint8_t, N>& bytes) {
    return hex_encode(bytes.data(), N);
}
inline std::string hex(const std::uint8_t* bytes, std::size_t n) { return hex_encode(bytes, n); }

}  // namespace nolu::qxt::test
