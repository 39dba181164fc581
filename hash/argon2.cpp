// The fixed-parameter pieces of the work function shared by every engine.
#include "hash/argon2.hpp"

#include <cstring>

#include "hash/blake2b.hpp"

namespace nolu::qxt {

namespace {

void put_le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

void argon2_h0(std::uint8_t* out72, const std::uint8_t* header, std::uint64_t nonce) {
    // lanes, tag length, memory KiB, passes, version, type, password length
    const std::uint32_t params[7] = {1, static_cast<std::uint32_t>(hash_bytes), block_count, 1, 0x13, 2, 8};
    std::uint8_t buf[4];
    Blake2bState s;
    blake2b_init(s, 64, nullptr, 0);
    for (std::uint32_t p : params) {
        put_le32(buf, p);
        blake2b_update(s, buf, 4);
    }
    std::uint8_t nonce_le[8];
    for (int i = 0; i < 8; ++i) nonce_le[i] = static_cast<std::uint8_t>(nonce >> (8 * i));
    blake2b_update(s, nonce_le, 8);
    put_le32(buf, static_cast<std::uint32_t>(header_bytes));
    blake2b_update(s, buf, 4);
    blake2b_update(s, header, header_bytes);
    put_le32(buf, 0);  // secret length
    blake2b_update(s, buf, 4);
    blake2b_update(s, buf, 4);  // associated data length
    blake2b_final(s, out72);
    std::memset(out72 + 64, 0, 8);
}

void first_blocks(const std::uint8_t* header, std::uint64_t nonce, HPrime hprime, std::uint64_t* b0,
                  std::uint64_t* b1) {
    alignas(64) std::uint8_t h0[72];
    argon2_h0(h0, header, nonce);
    hprime(reinterpret_cast<std::uint8_t*>(b0), h0);
    h0[64] = 1;  // block index 1, lane 0
    hprime(reinterpret_cast<std::uint8_t*>(b1), h0);
}

void final_tag(const void* last, std::uint8_t* out) {
    const std::uint8_t length[4] = {static_cast<std::uint8_t>(hash_bytes), 0, 0, 0};
    Blake2bState s;
    blake2b_init(s, hash_bytes, nullptr, 0);
    blake2b_update(s, length, sizeof length);
    blake2b_update(s, last, block_bytes);
    blake2b_final(s, out);
}

bool meets_target(const std::uint8_t* hash, const std::uint8_t* target) {
    return std::memcmp(hash, target, hash_bytes) <= 0;
}

}  // namespace nolu::qxt
