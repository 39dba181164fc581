// The AVX2 index table: the first-half reference indices, built once per
// process with the AVX2 compression only.
//
// Built with -mavx2: every helper here stays file-local (the compression
// below is this file's own copy of the engine's).
#include <immintrin.h>

#include "hash/argon2.hpp"
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

// out = P(in) ^ in: the compression with a zero first operand.
void compress_zero(const __m256i* in, __m256i* out) {
    alignas(64) __m256i w[32];
    for (int k = 0; k < 32; ++k) w[k] = _mm256_load_si256(in + k);
    for (int i = 0; i < 4; ++i) {
        __m256i* v = w + 8 * i;
        round_rows(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
    }
    for (int m = 0; m < 4; ++m)
        round_cols(w[m], w[m + 4], w[m + 8], w[m + 12], w[m + 16], w[m + 20], w[m + 24], w[m + 28]);
    for (int k = 0; k < 32; ++k) _mm256_store_si256(out + k, _mm256_xor_si256(w[k], _mm256_load_si256(in + k)));
}

}  // namespace

void build_index_table_avx2() {
    if (index_table_avx2 != nullptr) return;
    std::uint32_t* table = allocate_index_table();
    alignas(64) std::uint64_t z[128];  // address input block
    alignas(64) std::uint64_t once[128];
    alignas(64) std::uint64_t address[128];
    for (std::uint32_t slice = 0; slice < 2; ++slice) {
        for (int k = 0; k < 128; ++k) z[k] = 0;
        z[2] = slice;
        z[3] = block_count;
        z[4] = 1;  // passes
        z[5] = 2;  // type: Argon2id
        const std::uint32_t first = slice == 0 ? 2 : 0;  // blocks 0 and 1 come from H0
        for (std::uint32_t i = first; i < slice_blocks; ++i) {
            if (i == first || i % 128 == 0) {
                z[6] = i / 128 + 1;
                compress_zero(reinterpret_cast<const __m256i*>(z), reinterpret_cast<__m256i*>(once));
                compress_zero(reinterpret_cast<const __m256i*>(once), reinterpret_cast<__m256i*>(address));
            }
            const std::uint64_t j1 = static_cast<std::uint32_t>(address[i % 128]);
            const std::uint64_t w = slice * slice_blocks + i - 1;
            table[w + 1] = static_cast<std::uint32_t>(w - 1 - ((w * ((j1 * j1) >> 32)) >> 32));
        }
    }
    index_table_avx2 = table;
}

}  // namespace nolu::qxt
