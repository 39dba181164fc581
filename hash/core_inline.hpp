// The pieces of the work function that the fill loops need inline: the
// reference index r(j), where a block lives in an arena, and the tiled word
// order. The text exists once, here; every function has internal linkage, so
// each file that includes this header (generic, AVX2 or AVX-512 alike)
// compiles its own copy with its own instruction-set flags and never hands
// one to a file built with other flags.
#pragma once

#include <cstdint>

#include "hash/argon2.hpp"

namespace nolu::qxt {
namespace {

// r(j): the reference of block j, from J1 (the low 32 bits of the word that
// selects it) with W = j - 1 earlier blocks in the reference area:
// r = W - 1 - ((W * ((J1 * J1) >> 32)) >> 32), products in 64 bits.
[[gnu::always_inline]] inline std::uint32_t ref_index(std::uint32_t j, std::uint64_t word) {
    const std::uint64_t j1 = static_cast<std::uint32_t>(word);
    const std::uint64_t w = j - 1;
    return static_cast<std::uint32_t>(w - 1 - ((w * ((j1 * j1) >> 32)) >> 32));
}

// Skip-store placement: below skip_from every block has its own slot; from
// skip_from on only the even blocks are stored, packed two blocks to a slot
// step. For an odd block this is the slot of its stored predecessor.
[[gnu::always_inline]] inline std::uint32_t packed_slot(std::uint32_t j, std::uint32_t skip_from) {
    return skip_from + ((j - skip_from) >> 1);
}

// An odd block at or past skip_from is not stored (and must be rebuilt).
[[gnu::always_inline]] inline bool is_dropped(std::uint32_t j, std::uint32_t skip_from) {
    return j >= skip_from && (j & 1u) != 0;
}

// The slot that holds block j when it is stored, or the slot of the stored
// block a reader of j starts from (its predecessor, for a dropped block).
[[gnu::always_inline]] inline std::uint32_t block_slot(std::uint32_t j, std::uint32_t skip_from) {
    return j < skip_from ? j : packed_slot(j, skip_from);
}

// Tiled word order: line n = 4r + q holds standard words 32r+4q..32r+4q+3
// (lower half) and 32r+4q+16..32r+4q+19 (upper half). This is the position
// of standard word w in a tiled block.
inline unsigned tiled_position(unsigned w) {
    const unsigned row = w >> 4, col = w & 15;
    const unsigned line = 4 * (row >> 1) + (col >> 2);
    return 8 * line + 4 * (row & 1) + (col & 3);
}

inline void tile_block(const std::uint64_t* standard, std::uint64_t* tiled) {
    for (unsigned w = 0; w < block_words; ++w) tiled[tiled_position(w)] = standard[w];
}

// The memory probes' random block numbers: xorshift64, scaled to [0, blocks).
inline std::uint64_t probe_random(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

inline std::uint64_t probe_pick(std::uint64_t random, std::uint64_t blocks) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(random) * blocks) >> 64);
}

inline void untile_block(const std::uint64_t* tiled, std::uint64_t* standard) {
    for (unsigned w = 0; w < block_words; ++w) standard[w] = tiled[tiled_position(w)];
}

}  // namespace
}  // namespace nolu::qxt
