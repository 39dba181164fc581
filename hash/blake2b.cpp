// BLAKE2b (64-bit words, 12 rounds) and H' for 1 KiB outputs, portable.
#include "hash/blake2b.hpp"

#include <emmintrin.h>

#include <cstring>

namespace nolu::qxt {

namespace {

constexpr std::uint64_t iv[8] = {
    0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
    0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull,
};

constexpr std::uint8_t sigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

std::uint64_t rotr(std::uint64_t x, unsigned n) { return (x >> n) | (x << (64 - n)); }

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);  // x86-64 is little-endian
    return v;
}

void add_counter(Blake2bState& s, std::uint64_t n) {
    s.t0 += n;
    if (s.t0 < n) s.t1 += 1;
}

// 32 bytes with two 128-bit moves.
void move32(std::uint8_t* dst, const std::uint8_t* src) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), b);
}

void move64(std::uint8_t* dst, const std::uint8_t* src) {
    move32(dst, src);
    move32(dst + 32, src + 32);
}

}  // namespace

void blake2b_init(Blake2bState& state, std::size_t outlen, const void* key, std::size_t keylen) {
    for (int i = 0; i < 8; ++i) state.h[i] = iv[i];
    state.h[0] ^= 0x01010000ull ^ (static_cast<std::uint64_t>(keylen) << 8) ^ outlen;
    state.t0 = 0;
    state.t1 = 0;
    state.buflen = 0;
    state.outlen = outlen;
    std::memset(state.buf, 0, sizeof state.buf);
    if (keylen > 0) {
        std::memcpy(state.buf, key, keylen);
        state.buflen = 128;
    }
}

void blake2b_compress(Blake2bState& state, const std::uint8_t* block, bool last) {
    std::uint64_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = load64(block + 8 * i);
    std::uint64_t v[16];
    for (int i = 0; i < 8; ++i) {
        v[i] = state.h[i];
        v[i + 8] = iv[i];
    }
    v[12] ^= state.t0;
    v[13] ^= state.t1;
    if (last) v[14] = ~v[14];

    auto g = [&v](int a, int b, int c, int d, std::uint64_t x, std::uint64_t y) {
        v[a] = v[a] + v[b] + x;
        v[d] = rotr(v[d] ^ v[a], 32);
        v[c] = v[c] + v[d];
        v[b] = rotr(v[b] ^ v[c], 24);
        v[a] = v[a] + v[b] + y;
        v[d] = rotr(v[d] ^ v[a], 16);
        v[c] = v[c] + v[d];
        v[b] = rotr(v[b] ^ v[c], 63);
    };
    for (int r = 0; r < 12; ++r) {
        const std::uint8_t* s = sigma[r % 10];
        g(0, 4, 8, 12, m[s[0]], m[s[1]]);
        g(1, 5, 9, 13, m[s[2]], m[s[3]]);
        g(2, 6, 10, 14, m[s[4]], m[s[5]]);
        g(3, 7, 11, 15, m[s[6]], m[s[7]]);
        g(0, 5, 10, 15, m[s[8]], m[s[9]]);
        g(1, 6, 11, 12, m[s[10]], m[s[11]]);
        g(2, 7, 8, 13, m[s[12]], m[s[13]]);
        g(3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (int i = 0; i < 8; ++i) state.h[i] ^= v[i] ^ v[i + 8];
}

void blake2b_update(Blake2bState& state, const void* data, std::size_t len) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    while (len > 0) {
        if (state.buflen == 128) {
            add_counter(state, 128);
            blake2b_compress(state, state.buf, false);
            state.buflen = 0;
        }
        std::size_t take = 128 - state.buflen;
        if (take > len) take = len;
        std::memcpy(state.buf + state.buflen, in, take);
        state.buflen += take;
        in += take;
        len -= take;
    }
}

void blake2b_final(Blake2bState& state, void* out) {
    add_counter(state, state.buflen);
    std::memset(state.buf + state.buflen, 0, 128 - state.buflen);
    blake2b_compress(state, state.buf, true);
    std::uint8_t full[64];
    std::memcpy(full, state.h, sizeof full);  // words little-endian
    std::memcpy(out, full, state.outlen);
}

void blake2b_hash(void* out, std::size_t outlen, const void* in, std::size_t inlen) {
    Blake2bState s;
    blake2b_init(s, outlen, nullptr, 0);
    blake2b_update(s, in, inlen);
    blake2b_final(s, out);
}

void hprime_1024(std::uint8_t* out, const std::uint8_t* in72) {
    alignas(16) std::uint8_t v[64];
    alignas(16) std::uint8_t next[64];
    const std::uint8_t len_le[4] = {0x00, 0x04, 0x00, 0x00};  // LE32(1024)
    Blake2bState s;
    blake2b_init(s, 64, nullptr, 0);
    blake2b_update(s, len_le, 4);
    blake2b_update(s, in72, 72);
    blake2b_final(s, v);
    move32(out, v);
    for (int k = 2; k <= 30; ++k) {
        blake2b_hash(next, 64, v, 64);
        move64(v, next);
        move32(out + 32 * (k - 1), v);
    }
    blake2b_hash(next, 64, v, 64);
    move64(out + 960, next);
}

}  // namespace nolu::qxt
