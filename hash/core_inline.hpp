// The pieces of the work function that the fill loops need inline: the
// reference index r(j), where a block lives in an arena, the tiled word
// order, the lane calls' stop check and the benchmark probes' walks. The
// text exists once, here; every function has internal linkage, so
// each file that includes this header (generic, AVX2 or AVX-512 alike)
// compiles its own copy with its own instruction-set flags and never hands
// one to a file built with other flags.
#pragma once

#include <cstdint>

#include "hash/argon2.hpp"
#include "hash/settings.hpp"

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

inline void untile_block(const std::uint64_t* tiled, std::uint64_t* standard) {
    for (unsigned w = 0; w < block_words; ++w) standard[w] = tiled[tiled_position(w)];
}


// Whether a multi-lane call should end early (see HashSettings::stop): it
// lasts several hashes, and the thread must stop within its usual time.
inline bool stop_asked(const HashSettings& settings) {
    return settings.stop != nullptr && settings.stop->load(std::memory_order_relaxed);
}

// Blocks between two looks at the stop flag (a few milliseconds).
constexpr std::uint32_t stop_check_blocks = 4096;

// The benchmark's probes walk the same way with every instruction set; only
// the step, given as a function, is written per instruction set.

// The probes' random block numbers: xorshift64, scaled to [0, blocks).
inline std::uint64_t probe_random(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

inline std::uint64_t probe_pick(std::uint64_t random, std::uint64_t blocks) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(random) * blocks) >> 64);
}

// How many steps ahead the random walk picks its blocks.
constexpr std::uint64_t probe_ahead = 8;

// The random probe over `blocks` blocks: `count` calls of
// step(read, later, store), which reads block `read`, prefetches block
// `later` (read probe_ahead steps on) and stores to block `store`, the next
// in order. No steps with fewer than two blocks.
template <class Step>
[[gnu::always_inline]] inline void random_walk(std::uint64_t blocks, std::uint64_t count, Step&& step) {
    if (blocks < 2) return;
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    std::uint64_t queue[probe_ahead];
    for (std::uint64_t k = 0; k < probe_ahead; ++k) queue[k] = probe_pick(probe_random(state), blocks);
    std::uint64_t store = 0;
    for (std::uint64_t n = 0; n < count; ++n) {
        const std::uint64_t read = queue[n % probe_ahead];
        const std::uint64_t later = probe_pick(probe_random(state), blocks);
        queue[n % probe_ahead] = later;
        step(read, later, store);
        store = store + 1 == blocks ? 0 : store + 1;
    }
}

// The compute probe over a window of `blocks` blocks: `count` calls of
// step(ref, at), which compresses the running block with block `ref` and
// stores the result over block `at`, the oldest.
template <class Step>
[[gnu::always_inline]] inline void window_walk(std::uint32_t blocks, std::uint64_t count, Step&& step) {
    std::uint32_t at = 0;
    for (std::uint64_t n = 0; n < count; ++n) {
        at = at + 1 == blocks ? 0 : at + 1;
        step((at * 7u + 3u) % blocks, at);
    }
}

}  // namespace
}  // namespace nolu::qxt
