// The AVX2 fill engine: blocks in standard word order, the block last made
// kept on the stack, first-half references prefetched eight blocks ahead
// from the index table, second-half references prefetched as soon as word 0
// of the block that selects them is final, arena writes streamed past the
// caches.
//
// Built with -mavx2: every helper here stays file-local.
#include <immintrin.h>

#include <cstring>

#include "hash/argon2.hpp"
#include "hash/blake2b.hpp"
#include "hash/engine.hpp"
#include "hash/index_table.hpp"

namespace nolu::qxt {

namespace {

#define QXT_AVX2_INLINE static inline __attribute__((always_inline))

// a + b + 2 * lo32(a) * lo32(b), lane-wise
QXT_AVX2_INLINE __m256i blamka(__m256i a, __m256i b) {
    const __m256i m = _mm256_mul_epu32(a, b);
    return _mm256_add_epi64(_mm256_add_epi64(a, b), _mm256_add_epi64(m, m));
}

QXT_AVX2_INLINE __m256i rotr32(__m256i x) { return _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)); }

QXT_AVX2_INLINE __m256i rotr24(__m256i x) {
    const __m256i m = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10,  //
                                       3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10);
    return _mm256_shuffle_epi8(x, m);
}

QXT_AVX2_INLINE __m256i rotr16(__m256i x) {
    const __m256i m = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9,  //
                                       2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9);
    return _mm256_shuffle_epi8(x, m);
}

QXT_AVX2_INLINE __m256i rotr63(__m256i x) { return _mm256_xor_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x)); }

// The mix on two independent groups of four vectors (lane-wise).
QXT_AVX2_INLINE void mix2(__m256i& a0, __m256i& b0, __m256i& c0, __m256i& d0,  //
                          __m256i& a1, __m256i& b1, __m256i& c1, __m256i& d1) {
    a0 = blamka(a0, b0);
    a1 = blamka(a1, b1);
    d0 = rotr32(_mm256_xor_si256(d0, a0));
    d1 = rotr32(_mm256_xor_si256(d1, a1));
    c0 = blamka(c0, d0);
    c1 = blamka(c1, d1);
    b0 = rotr24(_mm256_xor_si256(b0, c0));
    b1 = rotr24(_mm256_xor_si256(b1, c1));
    a0 = blamka(a0, b0);
    a1 = blamka(a1, b1);
    d0 = rotr16(_mm256_xor_si256(d0, a0));
    d1 = rotr16(_mm256_xor_si256(d1, a1));
    c0 = blamka(c0, d0);
    c1 = blamka(c1, d1);
    b0 = rotr63(_mm256_xor_si256(b0, c0));
    b1 = rotr63(_mm256_xor_si256(b1, c1));
}

// Round on two rows of 16 words: row 0 in (a0, b0, c0, d0) = words 0-3,
// 4-7, 8-11, 12-15, row 1 likewise. The diagonal half rotates the lanes of
// b, c and d by one, two and three.
QXT_AVX2_INLINE void round_rows(__m256i& a0, __m256i& b0, __m256i& c0, __m256i& d0,  //
                                __m256i& a1, __m256i& b1, __m256i& c1, __m256i& d1) {
    mix2(a0, b0, c0, d0, a1, b1, c1, d1);
    b0 = _mm256_permute4x64_epi64(b0, _MM_SHUFFLE(0, 3, 2, 1));
    c0 = _mm256_permute4x64_epi64(c0, _MM_SHUFFLE(1, 0, 3, 2));
    d0 = _mm256_permute4x64_epi64(d0, _MM_SHUFFLE(2, 1, 0, 3));
    b1 = _mm256_permute4x64_epi64(b1, _MM_SHUFFLE(0, 3, 2, 1));
    c1 = _mm256_permute4x64_epi64(c1, _MM_SHUFFLE(1, 0, 3, 2));
    d1 = _mm256_permute4x64_epi64(d1, _MM_SHUFFLE(2, 1, 0, 3));
    mix2(a0, b0, c0, d0, a1, b1, c1, d1);
    b0 = _mm256_permute4x64_epi64(b0, _MM_SHUFFLE(2, 1, 0, 3));
    c0 = _mm256_permute4x64_epi64(c0, _MM_SHUFFLE(1, 0, 3, 2));
    d0 = _mm256_permute4x64_epi64(d0, _MM_SHUFFLE(0, 3, 2, 1));
    b1 = _mm256_permute4x64_epi64(b1, _MM_SHUFFLE(2, 1, 0, 3));
    c1 = _mm256_permute4x64_epi64(c1, _MM_SHUFFLE(1, 0, 3, 2));
    d1 = _mm256_permute4x64_epi64(d1, _MM_SHUFFLE(0, 3, 2, 1));
}

// Round on two columns (word pairs 2c, 2c+1 of all eight rows). x[k] is the
// vector of row k holding words 4m..4m+3: its low 128 bits belong to column
// 2m, its high 128 bits to column 2m+1. The column half needs no
// rearrangement; the diagonal half pairs words by in-lane byte alignment.
QXT_AVX2_INLINE void round_cols(__m256i& x0, __m256i& x1, __m256i& x2, __m256i& x3,  //
                                __m256i& x4, __m256i& x5, __m256i& x6, __m256i& x7) {
    mix2(x0, x2, x4, x6, x1, x3, x5, x7);
    __m256i b0 = _mm256_alignr_epi8(x3, x2, 8);
    __m256i b1 = _mm256_alignr_epi8(x2, x3, 8);
    __m256i d0 = _mm256_alignr_epi8(x6, x7, 8);
    __m256i d1 = _mm256_alignr_epi8(x7, x6, 8);
    mix2(x0, b0, x5, d0, x1, b1, x4, d1);
    x2 = _mm256_alignr_epi8(b0, b1, 8);
    x3 = _mm256_alignr_epi8(b1, b0, 8);
    x6 = _mm256_alignr_epi8(d1, d0, 8);
    x7 = _mm256_alignr_epi8(d0, d1, 8);
}

// Cache hints of the two halves' prefetches.
constexpr int first_half_hint = _MM_HINT_T0;
constexpr int second_half_hint = _MM_HINT_NTA;

template <int kHint>
QXT_AVX2_INLINE void prefetch_lines(const std::uint8_t* p, int first, int count) {
    for (int line = first; line < first + count; ++line)
        _mm_prefetch(reinterpret_cast<const char*>(p + 64 * line), static_cast<_mm_hint>(kHint));
}

QXT_AVX2_INLINE std::uint32_t next_reference(std::uint32_t j, std::uint64_t word0) {
    const std::uint64_t j1 = static_cast<std::uint32_t>(word0);
    const std::uint64_t w = j - 1;
    return static_cast<std::uint32_t>(w - 1 - ((w * ((j1 * j1) >> 32)) >> 32));
}

// One block: w (the previous block, on the stack) becomes G(w, ref); the
// result also goes to dst with streaming stores. In the second half
// (kLookAhead) the reference of block j + 1 is worked out as soon as word 0 of
// the new block is final, and its lines are prefetched while the remaining
// columns are mixed; it is returned (0 otherwise).
template <bool kLookAhead>
QXT_AVX2_INLINE std::uint32_t fill_block(__m256i* w, __m256i* rc, const __m256i* ref, __m256i* dst,
                                         const std::uint8_t* base, std::uint32_t j, const std::uint8_t* ahead) {
    // The four row pairs are independent; unrolling them made the second
    // half about 12% faster here (the column loop gained nothing).
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        if (ahead != nullptr) prefetch_lines<first_half_hint>(ahead, 4 * i, 4);
        __m256i* v = w + 8 * i;
        __m256i* r = rc + 8 * i;
        const __m256i* y = ref + 8 * i;
        __m256i a0 = _mm256_xor_si256(_mm256_load_si256(v + 0), _mm256_load_si256(y + 0));
        __m256i b0 = _mm256_xor_si256(_mm256_load_si256(v + 1), _mm256_load_si256(y + 1));
        __m256i c0 = _mm256_xor_si256(_mm256_load_si256(v + 2), _mm256_load_si256(y + 2));
        __m256i d0 = _mm256_xor_si256(_mm256_load_si256(v + 3), _mm256_load_si256(y + 3));
        __m256i a1 = _mm256_xor_si256(_mm256_load_si256(v + 4), _mm256_load_si256(y + 4));
        __m256i b1 = _mm256_xor_si256(_mm256_load_si256(v + 5), _mm256_load_si256(y + 5));
        __m256i c1 = _mm256_xor_si256(_mm256_load_si256(v + 6), _mm256_load_si256(y + 6));
        __m256i d1 = _mm256_xor_si256(_mm256_load_si256(v + 7), _mm256_load_si256(y + 7));
        _mm256_store_si256(r + 0, a0);
        _mm256_store_si256(r + 1, b0);
        _mm256_store_si256(r + 2, c0);
        _mm256_store_si256(r + 3, d0);
        _mm256_store_si256(r + 4, a1);
        _mm256_store_si256(r + 5, b1);
        _mm256_store_si256(r + 6, c1);
        _mm256_store_si256(r + 7, d1);
        round_rows(a0, b0, c0, d0, a1, b1, c1, d1);
        _mm256_store_si256(v + 0, a0);
        _mm256_store_si256(v + 1, b0);
        _mm256_store_si256(v + 2, c0);
        _mm256_store_si256(v + 3, d0);
        _mm256_store_si256(v + 4, a1);
        _mm256_store_si256(v + 5, b1);
        _mm256_store_si256(v + 6, c1);
        _mm256_store_si256(v + 7, d1);
    }
    std::uint32_t next = 0;
    for (int m = 0; m < 4; ++m) {
        __m256i x0 = _mm256_load_si256(w + m + 0);
        __m256i x1 = _mm256_load_si256(w + m + 4);
        __m256i x2 = _mm256_load_si256(w + m + 8);
        __m256i x3 = _mm256_load_si256(w + m + 12);
        __m256i x4 = _mm256_load_si256(w + m + 16);
        __m256i x5 = _mm256_load_si256(w + m + 20);
        __m256i x6 = _mm256_load_si256(w + m + 24);
        __m256i x7 = _mm256_load_si256(w + m + 28);
        round_cols(x0, x1, x2, x3, x4, x5, x6, x7);
        if (kLookAhead && m == 0) {
            const __m256i first = _mm256_xor_si256(x0, _mm256_load_si256(rc));
            next = next_reference(j + 1, static_cast<std::uint64_t>(_mm256_extract_epi64(first, 0)));
            prefetch_lines<second_half_hint>(base + std::size_t{next} * block_bytes, 0, 16);
        }
        _mm256_store_si256(w + m + 0, x0);
        _mm256_store_si256(w + m + 4, x1);
        _mm256_store_si256(w + m + 8, x2);
        _mm256_store_si256(w + m + 12, x3);
        _mm256_store_si256(w + m + 16, x4);
        _mm256_store_si256(w + m + 20, x5);
        _mm256_store_si256(w + m + 24, x6);
        _mm256_store_si256(w + m + 28, x7);
    }
    for (int k = 0; k < 32; ++k) {
        const __m256i t = _mm256_xor_si256(_mm256_load_si256(w + k), _mm256_load_si256(rc + k));
        _mm256_store_si256(w + k, t);
        _mm256_stream_si256(dst + k, t);
    }
    return next;
}

}  // namespace

void engine_avx2(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    alignas(64) __m256i w[32];   // the block last made
    alignas(64) __m256i rc[32];  // R = X ^ Y, kept for the final XOR
    alignas(64) std::uint8_t h0[72];

    auto* base = static_cast<std::uint8_t*>(arena.base);
    auto block = [base](std::uint32_t j) { return reinterpret_cast<__m256i*>(base + std::size_t{j} * block_bytes); };
    const std::uint32_t* table = index_table_avx2;

    argon2_h0(h0, header, nonce);
    hprime_1024(base, h0);
    h0[64] = 1;
    hprime_1024(base + block_bytes, h0);
    std::memcpy(w, base + block_bytes, block_bytes);

    // First half: references from the table; block j + 8's reference is
    // prefetched while block j is made, four lines per row pair.
    constexpr std::uint32_t distance = 8;
    std::uint32_t j = 2;
    for (; j + distance < half_blocks; ++j)
        fill_block<false>(w, rc, block(table[j]), block(j), base, j, base + std::size_t{table[j + distance]} * block_bytes);
    for (; j < half_blocks; ++j) fill_block<false>(w, rc, block(table[j]), block(j), base, j, nullptr);

    if (engine_half_hook != nullptr) engine_half_hook();

    // Second half: each reference comes from word 0 of the block just made.
    std::uint32_t r = next_reference(half_blocks, static_cast<std::uint64_t>(_mm256_extract_epi64(w[0], 0)));
    prefetch_lines<second_half_hint>(base + std::size_t{r} * block_bytes, 0, 16);
    for (; j < block_count - 1; ++j) r = fill_block<true>(w, rc, block(r), block(j), base, j, nullptr);
    fill_block<false>(w, rc, block(r), block(j), base, j, nullptr);
    _mm_sfence();

    const std::uint8_t len_le[4] = {static_cast<std::uint8_t>(hash_bytes), 0, 0, 0};
    Blake2bState s;
    blake2b_init(s, hash_bytes, nullptr, 0);
    blake2b_update(s, len_le, 4);
    blake2b_update(s, w, block_bytes);
    blake2b_final(s, out);
}

}  // namespace nolu::qxt
