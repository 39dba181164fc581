// The coin's work function: Argon2id v1.3, one lane, one pass, 2 GiB,
// nonce as password (8 bytes LE), 92-byte header as salt, 32-byte tag.
// The portable pieces every engine shares: the pre-hash, the first two
// blocks, the tag and the target test.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nolu::qxt {

inline constexpr std::uint32_t block_count = 0x200000;   // 2^21 blocks of 1 KiB
inline constexpr std::uint32_t half_blocks = 0x100000;   // first data-dependent block
inline constexpr std::uint32_t slice_blocks = 0x80000;
inline constexpr std::uint32_t last_block = block_count - 1;
inline constexpr std::size_t block_bytes = 1024;
inline constexpr std::size_t block_words = 128;
inline constexpr std::size_t header_bytes = 92;
inline constexpr std::size_t hash_bytes = 32;
inline constexpr std::uint64_t full_arena_bytes = 0x80000000ull;  // 2 GiB

// H0 followed by two zero LE32 words (72 bytes): the pre-hash over the fixed
// parameters, the nonce and the header.
void argon2_h0(std::uint8_t* out72, const std::uint8_t* header, std::uint64_t nonce);

// H' with a 1024-byte output over 72 bytes; each engine passes its own form.
using HPrime = void (*)(std::uint8_t* out, const std::uint8_t* in72);

// B[0] and B[1], in standard word order.
void first_blocks(const std::uint8_t* header, std::uint64_t nonce, HPrime hprime, std::uint64_t* b0,
                  std::uint64_t* b1);

// The tag: BLAKE2b-256 over LE32(32) and the final block (standard order).
void final_tag(const void* last, std::uint8_t* out);

// A hash meets a target when it is at most the target, both read as 32-byte
// big-endian numbers (memcmp order; equality meets).
bool meets_target(const std::uint8_t* hash, const std::uint8_t* target);

}  // namespace nolu::qxt
