// Index table of the data-independent half for the AVX-512 engine, built with
// the same instruction set as the engine that reads it. The address blocks
// are made in the tiled word order; only the word position of J1 is
// translated when it is read.
// GCC 12 flags its own _mm512_undefined_* placeholders as uninitialized once
// they are inlined; the warning is spurious.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>

#include "hash/argon2.hpp"
#include "hash/index_table.hpp"

namespace nolu::qxt {
namespace {

#include "hash/blamka_avx512.inc"

// G(0, Y) = P(Y) xor Y on a tiled block, in place.
static void compress_zero(std::uint64_t* block) {
    V l[16];
    V y[16];
    for (int n = 0; n < 16; ++n) {
        y[n] = _mm512_load_si512(block + 8 * n);
        l[n] = y[n];
    }
    for (int r = 0; r < 4; ++r) round2(l[4 * r], l[4 * r + 1], l[4 * r + 2], l[4 * r + 3]);
    for (int n = 0; n < 16; ++n) l[n] = swap_middle_quarters(l[n]);
    for (int q = 0; q < 4; ++q) round2(l[q], l[q + 4], l[q + 8], l[q + 12]);
    for (int n = 0; n < 16; ++n) {
        l[n] = swap_middle_quarters(l[n]);
        _mm512_store_si512(block + 8 * n, _mm512_xor_si512(l[n], y[n]));
    }
}

// Position of standard word w inside a tiled block.
static inline unsigned tiled_pos(unsigned w) {
    const unsigned row = w >> 4, col = w & 15;
    const unsigned line = 4 * (row >> 1) + (col >> 2);
    return 8 * line + 4 * (row & 1) + (col & 3);
}

}  // namespace

void build_index_table_avx512() {
    // A second build refills the table it already has rather than leaking it.
    if (index_table_avx512 == nullptr) index_table_avx512 = allocate_index_table();
    std::uint32_t* table = index_table_avx512;
    alignas(64) std::uint64_t z[block_words];
    alignas(64) std::uint64_t addr[block_words];
    for (std::uint32_t s = 0; s < 2; ++s) {
        for (auto& w : z) w = 0;
        z[tiled_pos(2)] = s;
        z[tiled_pos(3)] = block_count;
        z[tiled_pos(4)] = 1;
        z[tiled_pos(5)] = 2;
        const std::uint32_t first = s == 0 ? 2 : 0;
        for (std::uint32_t i = first; i < slice_blocks; ++i) {
            if (i == first || (i & 127) == 0) {
                z[tiled_pos(6)] = i / 128 + 1;
                for (std::size_t w = 0; w < block_words; ++w) addr[w] = z[w];
                compress_zero(addr);
                compress_zero(addr);
            }
            const std::uint32_t j = s * slice_blocks + i;
            const std::uint64_t j1 = static_cast<std::uint32_t>(addr[tiled_pos(i & 127)]);
            const std::uint64_t w = j - 1;
            table[j] = static_cast<std::uint32_t>(w - 1 - ((w * ((j1 * j1) >> 32)) >> 32));
        }
    }
}

}  // namespace nolu::qxt
