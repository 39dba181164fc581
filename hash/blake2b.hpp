// BLAKE2b (unkeyed use, 12 rounds) and Argon2's long-output hash H' for
// 1024-byte blocks. One portable implementation shared by every engine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nolu::qxt {

// One running hash; lives on the caller's stack, never allocates.
struct Blake2bState {
    std::uint64_t h[8];
    std::uint64_t t0;
    std::uint64_t t1;
    alignas(16) std::uint8_t buf[128];
    std::uint64_t buflen;
    std::uint64_t outlen;
};

void blake2b_init(Blake2bState& state, std::size_t outlen, const void* key, std::size_t keylen);
// A full buffer is compressed only when more data arrives, so the last block
// is always left for blake2b_final.
void blake2b_update(Blake2bState& state, const void* data, std::size_t len);
void blake2b_final(Blake2bState& state, void* out);
void blake2b_compress(Blake2bState& state, const std::uint8_t* block, bool last);
void blake2b_hash(void* out, std::size_t outlen, const void* in, std::size_t inlen);

// H' with a 1024-byte output over a 72-byte input (H0 and two LE32 words).
// This form moves its pieces with 128-bit loads and stores; the AVX-512
// engine has its own 512-bit form with identical results.
void hprime_1024(std::uint8_t* out, const std::uint8_t* in72);

}  // namespace nolu::qxt
