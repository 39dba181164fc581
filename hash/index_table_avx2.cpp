// The AVX2 index table: the first-half reference indices, built once per
// process with the AVX2 compression only.
//
// Built with -mavx2: every helper here stays file-local; the permutation
// rounds come from blamka_avx2.inc, which only -mavx2 files include.
#include <immintrin.h>

#include "hash/argon2.hpp"
#include "hash/index_table.hpp"

namespace nolu::qxt {

namespace {

#include "hash/blamka_avx2.inc"

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
