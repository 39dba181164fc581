// libargon2 as the oracle of the work function, for the tests that link it:
// Argon2id, one lane, one pass over 2^21 blocks, the nonce's eight bytes
// (little-endian) as the password and the header as the salt. libargon2
// maps its own 2 GiB.
#pragma once

#include <argon2.h>

#include <cstdint>

#include "hash/argon2.hpp"

namespace nolu::qxt::test {

// Writes libargon2's 32-byte tag of header (92 bytes) and nonce to tag and
// returns its result code (ARGON2_OK when it hashed).
inline int libargon2_tag(const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* tag) {
    std::uint8_t password[8];
    for (int i = 0; i < 8; ++i) password[i] = static_cast<std::uint8_t>(nonce >> (8 * i));
    return argon2id_hash_raw(1, block_count, 1, password, sizeof password, header, header_bytes, tag, hash_bytes);
}

}  // namespace nolu::qxt::test
