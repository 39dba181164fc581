// The AVX-512 fill engine. A block lives in sixteen 512-bit registers while it
// is made, one 64-byte line per register, in the tiled word order: line
// n = 4r + q holds words 4q..4q+3 of rows 2r (lower half) and 2r + 1 (upper
// half). The row step then runs on whole lines, and the column step needs
// only one exchange of the middle quarters of every line before and after.
//
// Memory options: the side cache serves planned first-half reads from a small
// per-thread buffer; skip-store leaves the odd blocks past skip_from unstored
// and rebuilds them when they are referenced. Every option combination has a
// loop of its own, picked once per call.
//
// Everything here is file-local: this file is built with AVX-512 flags and
// must not hand out inline code to generically built files.

// GCC 12 flags its own _mm512_undefined_* placeholders as uninitialized once
// they are inlined; the warning is spurious.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>
#include <type_traits>

#include <cstring>

#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "hash/blake2b.hpp"
#include "hash/core_inline.hpp"
#include "hash/isa.hpp"
#include "hash/side_cache.hpp"

#define QXT_NOINLINE __attribute__((noinline))

namespace nolu::qxt {
namespace {

#include "hash/blamka_avx512.inc"

using Lines = V[16];

constexpr std::uint32_t first_half_last = half_blocks - 1;
constexpr std::uint32_t prefetch_ahead = 8;

// ---------------------------------------------------------------------------
// Compression on tiled blocks

struct NoLookAhead {
    QXT_ALWAYS_INLINE void operator()(V) const {}
};

// x = G(x, y) = P(R) xor R with R = x xor y. `ahead` receives the line that
// holds word 0 of the new block as soon as that word is final (after the
// first column round), before the other three column rounds run.
template <class Ahead>
static QXT_ALWAYS_INLINE void compress(Lines& x, const V* y, const Ahead& ahead) {
    Lines r;
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) {
        r[n] = _mm512_xor_si512(x[n], _mm512_load_si512(y + n));
        x[n] = r[n];
    }
    round2(x[0], x[1], x[2], x[3]);
    round2(x[4], x[5], x[6], x[7]);
    round2(x[8], x[9], x[10], x[11]);
    round2(x[12], x[13], x[14], x[15]);
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) x[n] = swap_middle_quarters(x[n]);
    round2(x[0], x[4], x[8], x[12]);
    // Word 0 sits in quarter 0 of line 0, which the exchange back leaves alone.
    ahead(_mm512_xor_si512(x[0], r[0]));
    round2(x[1], x[5], x[9], x[13]);
    round2(x[2], x[6], x[10], x[14]);
    round2(x[3], x[7], x[11], x[15]);
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) x[n] = _mm512_xor_si512(swap_middle_quarters(x[n]), r[n]);
}

// Two independent compressions (two lanes), interleaved round by round so
// that the core always has two dependency chains to work on: two lanes this
// way measured 1.13x two lanes one compression after the other (1 thread,
// 5 alternating rounds), though each lane's prefetch now gets only the last
// 3/8 of the pair's work to arrive in.
template <class AheadA, class AheadB>
static QXT_ALWAYS_INLINE void compress2(Lines& a, const V* ya, Lines& b, const V* yb, const AheadA& ahead_a,
                                        const AheadB& ahead_b) {
    Lines ra, rb;
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) {
        ra[n] = _mm512_xor_si512(a[n], _mm512_load_si512(ya + n));
        a[n] = ra[n];
        rb[n] = _mm512_xor_si512(b[n], _mm512_load_si512(yb + n));
        b[n] = rb[n];
    }
#pragma GCC unroll 4
    for (int g = 0; g < 16; g += 4) {
        round2(a[g], a[g + 1], a[g + 2], a[g + 3]);
        round2(b[g], b[g + 1], b[g + 2], b[g + 3]);
    }
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) {
        a[n] = swap_middle_quarters(a[n]);
        b[n] = swap_middle_quarters(b[n]);
    }
    round2(a[0], a[4], a[8], a[12]);
    round2(b[0], b[4], b[8], b[12]);
    ahead_a(_mm512_xor_si512(a[0], ra[0]));
    ahead_b(_mm512_xor_si512(b[0], rb[0]));
#pragma GCC unroll 3
    for (int c = 1; c < 4; ++c) {
        round2(a[c], a[c + 4], a[c + 8], a[c + 12]);
        round2(b[c], b[c + 4], b[c + 8], b[c + 12]);
    }
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) {
        a[n] = _mm512_xor_si512(swap_middle_quarters(a[n]), ra[n]);
        b[n] = _mm512_xor_si512(swap_middle_quarters(b[n]), rb[n]);
    }
}

// ---------------------------------------------------------------------------
// Memory helpers

static QXT_ALWAYS_INLINE V* slot_ptr(std::uint8_t* base, std::uint32_t slot) {
    return reinterpret_cast<V*>(base + std::uint64_t{slot} * block_bytes);
}

static QXT_ALWAYS_INLINE const V* slot_ptr(const std::uint8_t* base, std::uint32_t slot) {
    return reinterpret_cast<const V*>(base + std::uint64_t{slot} * block_bytes);
}

static QXT_ALWAYS_INLINE void load_block(Lines& x, const V* src) {
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) x[n] = _mm512_load_si512(src + n);
}

static QXT_ALWAYS_INLINE void store_block(V* dst, const Lines& x) {
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) _mm512_store_si512(dst + n, x[n]);
}

static QXT_ALWAYS_INLINE void stream_block(V* dst, const Lines& x) {
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) _mm512_stream_si512(dst + n, x[n]);
}

// Prefetch hints, chosen by measurement here (alternating runs, quiet machine):
// - second half and rebuilds, where a block is used one compression after
//   its prefetch: non-temporal, about 13 % faster on that half than T0;
// - first half, 8 blocks ahead: into L2 only, about 8 % faster than T0.
static QXT_ALWAYS_INLINE void prefetch_block(const void* p) {
    const char* c = static_cast<const char*>(p);
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) _mm_prefetch(c + 64 * n, _MM_HINT_NTA);
}

static QXT_ALWAYS_INLINE void prefetch_block_l2(const void* p) {
    const char* c = static_cast<const char*>(p);
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) _mm_prefetch(c + 64 * n, _MM_HINT_T1);
}

static QXT_ALWAYS_INLINE std::uint32_t low_word(V line) {
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(line)));
}

// ---------------------------------------------------------------------------
// Block rebuild for skip-store
//
// A dropped block j is G(B[j - 1], B[a]) with a = r(j). When B[a] is itself
// dropped, so is the next link of the chain. The chain is walked down first
// (prefetching every stored predecessor on the way), then the blocks are made
// from the bottom up, each result serving as the reference of the level
// above. The stack use is fixed whatever the chain's length: the first
// `kept_levels` block indices are remembered, deeper ones are found again by
// walking on from the last remembered one.

constexpr std::uint32_t kept_levels = 64;

// The link below dropped block j: its reference index.
static QXT_ALWAYS_INLINE std::uint32_t chain_ref(const std::uint8_t* base, const std::uint32_t* table,
                                                 std::uint32_t skip_from, std::uint32_t j) {
    if (table != nullptr) return table[(j - skip_from) >> 1];
    return ref_index(j, *reinterpret_cast<const std::uint32_t*>(slot_ptr(base, packed_slot(j, skip_from))));
}

// The result goes through `out` in L1. Measured here in alternating rounds,
// neither was faster: handing it back in registers (the rebuild and the
// compression that uses it in one cold out-of-line step), nor only marking
// this path cold.
static QXT_NOINLINE void rebuild_into(const std::uint8_t* base, const std::uint32_t* table, std::uint32_t skip_from,
                                      std::uint32_t j, V* out) {
    std::uint32_t chain[kept_levels];
    std::uint32_t depth = 0;
    std::uint32_t cur = j;
    std::uint32_t a;
    for (;;) {
        prefetch_block(slot_ptr(base, packed_slot(cur, skip_from)));
        a = chain_ref(base, table, skip_from, cur);
        if (depth < kept_levels) chain[depth] = cur;
        ++depth;
        if (!is_dropped(a, skip_from)) break;
        cur = a;
    }
    const V* y = slot_ptr(base, block_slot(a, skip_from));
    prefetch_block(y);
    for (std::uint32_t level = depth; level-- > 0;) {
        std::uint32_t jl;
        if (level < kept_levels) {
            jl = chain[level];
        } else {
            jl = chain[kept_levels - 1];
            for (std::uint32_t k = kept_levels - 1; k < level; ++k) jl = chain_ref(base, table, skip_from, jl);
        }
        Lines x;
        load_block(x, slot_ptr(base, packed_slot(jl, skip_from)));
        compress(x, y, NoLookAhead{});
        store_block(out, x);
        y = out;
    }
}

// ---------------------------------------------------------------------------
// First half: references from the index table, prefetched 8 blocks ahead.

template <bool Side>
static QXT_NOINLINE void fill_first_half(const Arena& arena, std::uint64_t* work) {
    std::uint8_t* const base = static_cast<std::uint8_t*>(arena.base);
    std::uint8_t* const side = static_cast<std::uint8_t*>(arena.side_buf);
    const std::uint32_t* const index = arena.settings.index_table;
    const std::uint16_t* const read_slot = Side ? arena.settings.side->read_slot.data() : nullptr;
    const std::uint16_t* const write_slot = Side ? arena.settings.side->write_slot.data() : nullptr;
    Lines x;
    load_block(x, reinterpret_cast<const V*>(work));

    auto step = [&](std::uint32_t i, auto with_prefetch) {
        if constexpr (decltype(with_prefetch)::value) {
            if (!Side || read_slot[i + prefetch_ahead] == side_none) {
                prefetch_block_l2(slot_ptr(base, index[i + prefetch_ahead]));
            }
        }
        const V* y;
        if constexpr (Side) {
            const std::uint16_t s = read_slot[i];
            y = s != side_none ? slot_ptr(side, s) : slot_ptr(base, index[i]);
        } else {
            y = slot_ptr(base, index[i]);
        }
        compress(x, y, NoLookAhead{});
        stream_block(slot_ptr(base, i), x);
        if constexpr (Side) {
            const std::uint16_t s = write_slot[i];
            if (s != side_none) store_block(slot_ptr(side, s), x);
        }
    };

    std::uint32_t i = 2;
    for (; i + prefetch_ahead <= first_half_last; ++i) step(i, std::true_type{});
    for (; i <= first_half_last; ++i) step(i, std::false_type{});
    store_block(reinterpret_cast<V*>(work), x);
}

// ---------------------------------------------------------------------------
// Second half: the reference follows from word 0 of the block just made, so
// the next one is computed and prefetched while this block is finished.

// Blocks [begin, end) at their natural slots; r is the reference of block
// begin. Returns the reference of block end (unless end is past the last).
static QXT_NOINLINE std::uint32_t fill_natural(std::uint8_t* base, std::uint64_t* work, std::uint32_t begin,
                                               std::uint32_t end, std::uint32_t r) {
    Lines x;
    load_block(x, reinterpret_cast<const V*>(work));
    const std::uint32_t stop = end == block_count ? last_block : end;
    std::uint32_t i = begin;
    for (; i < stop; ++i) {
        std::uint32_t next = 0;
        compress(x, slot_ptr(base, r), [&](V w0) {
            next = ref_index(i + 1, low_word(w0));
            prefetch_block(slot_ptr(base, next));
        });
        stream_block(slot_ptr(base, i), x);
        r = next;
    }
    if (i == last_block) {
        compress(x, slot_ptr(base, r), NoLookAhead{});
        stream_block(slot_ptr(base, i), x);
    }
    store_block(reinterpret_cast<V*>(work), x);
    return r;
}

// Blocks skip_from..last under skip-store: even blocks packed, odd blocks not
// stored. Rebuild = false is the probe that reads block r - 1 instead of a
// dropped block r.
template <bool Rebuild, bool Reft>
static QXT_NOINLINE void fill_skip(std::uint8_t* base, std::uint32_t* table, std::uint64_t* work, V* rebuild_buf,
                                   std::uint32_t skip_from, std::uint32_t r) {
    Lines x;
    load_block(x, reinterpret_cast<const V*>(work));

    auto fetch = [&](std::uint32_t ref) -> const V* {
        if (ref < skip_from) return slot_ptr(base, ref);
        if ((ref & 1) == 0 || !Rebuild) return slot_ptr(base, packed_slot(ref, skip_from));
        rebuild_into(base, Reft ? table : nullptr, skip_from, ref, rebuild_buf);
        return rebuild_buf;
    };
    auto prefetch_for = [&](std::uint32_t ref) {
        if (ref < skip_from) {
            prefetch_block(slot_ptr(base, ref));
        } else {
            prefetch_block(slot_ptr(base, packed_slot(ref, skip_from)));
            // Reading the table entry here to prefetch the rebuild's own
            // reference as well measured no faster (alternating rounds).
            if (Reft && Rebuild && (ref & 1) != 0) {
                _mm_prefetch(reinterpret_cast<const char*>(table + ((ref - skip_from) >> 1)), _MM_HINT_T0);
            }
        }
    };
    auto look_ahead = [&](std::uint32_t i, std::uint32_t& next) {
        return [&, i](V w0) {
            next = ref_index(i + 1, low_word(w0));
            prefetch_for(next);
        };
    };

    std::uint32_t i = skip_from;
    for (; i < last_block - 1; i += 2) {
        std::uint32_t next = 0;
        compress(x, fetch(r), look_ahead(i, next));
        stream_block(slot_ptr(base, packed_slot(i, skip_from)), x);
        r = next;
        if constexpr (Reft) table[(i + 1 - skip_from) >> 1] = r;
        compress(x, fetch(r), look_ahead(i + 1, next));
        r = next;
    }
    // The last pair: block 2^21 - 2 is stored, 2^21 - 1 only kept for the tag.
    std::uint32_t next = 0;
    compress(x, fetch(r), look_ahead(i, next));
    stream_block(slot_ptr(base, packed_slot(i, skip_from)), x);
    r = next;
    if constexpr (Reft) table[(i + 1 - skip_from) >> 1] = r;
    compress(x, fetch(r), NoLookAhead{});
    store_block(reinterpret_cast<V*>(work), x);
}

// ---------------------------------------------------------------------------
// Lanes: several hashes of one thread advanced together, one arena each.
// The first halves run one after the other (their references are known in
// advance and prefetched anyway; interleaved, they ran about 25 % slower
// here). In the second half a lane's last block waits in its state between
// its turns, so the lanes take turns block by block, two at a time: the
// reference a lane needs next is prefetched as soon as its block reveals it,
// and the other lanes' blocks are computed while it arrives.

struct alignas(64) LaneState {
    V work[16];                  // the block last made, tiled
    std::uint8_t* base = nullptr;
    std::uint32_t r = 0;         // second half: the reference of the next block
};

// Block i of one lane, its next reference prefetched as soon as known.
static QXT_ALWAYS_INLINE void lane_block(LaneState& lane, std::uint32_t i) {
    std::uint8_t* const base = lane.base;
    std::uint32_t next = 0;
    Lines x;
    load_block(x, lane.work);
    compress(x, slot_ptr(base, lane.r), [&](V w0) {
        next = ref_index(i + 1, low_word(w0));
        prefetch_block(slot_ptr(base, next));
    });
    stream_block(slot_ptr(base, i), x);
    store_block(lane.work, x);
    lane.r = next;
}

// Block i of two lanes at once (compress2): pick(k, w0) gives lane k's next
// reference from word 0 of its new block, prefetched at once.
template <class Pick>
static QXT_ALWAYS_INLINE void pair_block(LaneState& la, LaneState& lb, std::uint32_t i, const Pick& pick) {
    std::uint32_t next_a = 0, next_b = 0;
    Lines xa, xb;
    load_block(xa, la.work);
    load_block(xb, lb.work);
    compress2(
        xa, slot_ptr(la.base, la.r), xb, slot_ptr(lb.base, lb.r),
        [&](V w0) {
            next_a = pick(0, w0);
            prefetch_block(slot_ptr(la.base, next_a));
        },
        [&](V w0) {
            next_b = pick(1, w0);
            prefetch_block(slot_ptr(lb.base, next_b));
        });
    stream_block(slot_ptr(la.base, i), xa);
    stream_block(slot_ptr(lb.base, i), xb);
    store_block(la.work, xa);
    store_block(lb.work, xb);
    la.r = next_a;
    lb.r = next_b;
}

static QXT_ALWAYS_INLINE void lane_pair_block(LaneState& la, LaneState& lb, std::uint32_t i) {
    pair_block(la, lb, i, [i](unsigned, V w0) { return ref_index(i + 1, low_word(w0)); });
}

// Second half, lanes interleaved: two by two for an even count (compress2),
// one by one for an odd one (a pair and a single were not measured); lane.r holds each lane's next reference. False when stopped before the end.
template <unsigned N>
static QXT_NOINLINE bool lanes_second_half(LaneState* lanes, const HashSettings& settings) {
    for (std::uint32_t i = half_blocks; i < last_block; ++i) {
        if (i % stop_check_blocks == 0 && stop_asked(settings)) return false;
        if constexpr (N % 2 == 0) {
#pragma GCC unroll 2
            for (unsigned k = 0; k < N; k += 2) lane_pair_block(lanes[k], lanes[k + 1], i);
        } else {
#pragma GCC unroll 3
            for (unsigned k = 0; k < N; ++k) lane_block(lanes[k], i);
        }
    }
#pragma GCC unroll 4
    for (unsigned k = 0; k < N; ++k) {
        LaneState& lane = lanes[k];
        Lines x;
        load_block(x, lane.work);
        compress(x, slot_ptr(lane.base, lane.r), NoLookAhead{});
        stream_block(slot_ptr(lane.base, last_block), x);
        store_block(lane.work, x);
    }
    return true;
}

// False when stopped before the end.
template <unsigned N>
static bool hash_lanes(const LaneWork* work, LaneState* lanes) {
    const HashSettings& settings = work[0].arena->settings;
    for (unsigned k = 0; k < N; ++k) {
        if (stop_asked(settings)) return false;
        auto* const block = reinterpret_cast<std::uint64_t*>(lanes[k].work);
        if (side_slots(settings) != 0) {
            fill_first_half<true>(*work[k].arena, block);
        } else {
            fill_first_half<false>(*work[k].arena, block);
        }
    }
    if (settings.on_half != nullptr) settings.on_half();
    for (unsigned k = 0; k < N; ++k) lanes[k].r = ref_index(half_blocks, low_word(lanes[k].work[0]));
    return lanes_second_half<N>(lanes, settings);
}

// ---------------------------------------------------------------------------
// The compute bound: compressions on a window that stays in cache, each
// reading a block a fixed stride back and replacing the oldest one.

static QXT_NOINLINE void window_loop(V* window, std::uint32_t blocks, std::uint64_t count) {
    Lines x;
    load_block(x, window);
    window_walk(blocks, count, [&](std::uint32_t ref, std::uint32_t at) {
        compress(x, window + 16 * std::uint64_t{ref}, NoLookAhead{});
        store_block(window + 16 * std::uint64_t{at}, x);
    });
}

// G(0, Y) on a tiled block, in place.
static void compress_zero(std::uint64_t* block) {
    Lines x;
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) x[n] = _mm512_setzero_si512();
    compress(x, reinterpret_cast<const V*>(block), NoLookAhead{});
    store_block(reinterpret_cast<V*>(block), x);
}

// ---------------------------------------------------------------------------
// The chain probe (ChainProbe): the second half's walk with each part made a
// setting. Every setting is a template argument, so that the compression is
// built as the engine builds it: a run-time branch in the middle of it split
// the compression and cost more than the memory effects it was to show.

using Point = ChainProbe::Point;
using Hint = ChainProbe::Hint;

template <Hint H, bool Backward>
static QXT_ALWAYS_INLINE void prefetch_probe(const void* p) {
    constexpr int hint = H == Hint::t0   ? _MM_HINT_T0
                         : H == Hint::t1 ? _MM_HINT_T1
                         : H == Hint::t2 ? _MM_HINT_T2
                                         : _MM_HINT_NTA;
    const char* c = static_cast<const char*>(p);
#pragma GCC unroll 16
    for (int n = 0; n < 16; ++n) __builtin_prefetch(c + 64 * (Backward ? 15 - n : n), 0, hint);  // _MM_HINT_* as locality
}

// One step of one chain, as block `at` of a second half: block `r` read and
// compressed into the chain's running block, the result streamed to slot
// `at`, and the next reference picked from word 0 of the result as soon as it
// is final, by the hash's own rule (most references fall on recent blocks).
// Point::start alone picks it from word 0 of the block read, one compression
// earlier than a hash can know it: what a longer prefetch distance is worth.
template <Point P, Hint H, bool Backward, unsigned Compressions>
static QXT_ALWAYS_INLINE std::uint32_t chain_step(LaneState& chain, std::uint64_t& state, std::uint32_t at) {
    const V* y = slot_ptr(chain.base, chain.r);
    const std::uint64_t random = probe_random(state);
    std::uint32_t next = 0;
    const auto pick = [&](V line) {
        next = ref_index(at + 1, random ^ low_word(line));
        if constexpr (P == Point::start || P == Point::index) prefetch_probe<H, Backward>(slot_ptr(chain.base, next));
    };
    if constexpr (P == Point::start) pick(_mm512_load_si512(y));
    Lines x;
    load_block(x, chain.work);
    if constexpr (Compressions == 0) {
#pragma GCC unroll 16
        for (int n = 0; n < 16; ++n) x[n] = _mm512_xor_si512(x[n], _mm512_load_si512(y + n));
        if constexpr (P != Point::start) pick(x[0]);
    } else {
        if constexpr (Compressions > 1) compress(x, y, NoLookAhead{});
        if constexpr (P == Point::start) {
            compress(x, y, NoLookAhead{});
        } else {
            compress(x, y, pick);
        }
    }
    if constexpr (P == Point::end) prefetch_probe<H, Backward>(slot_ptr(chain.base, next));
    stream_block(slot_ptr(chain.base, at), x);
    store_block(chain.work, x);
    return next;
}

// One step of two chains at once, as lanes take it (compress2); the
// engine's settings only.
static QXT_ALWAYS_INLINE void chain_pair_step(LaneState& a, LaneState& b, std::uint64_t& state_a,
                                              std::uint64_t& state_b, std::uint32_t at) {
    const std::uint64_t random[2] = {probe_random(state_a), probe_random(state_b)};
    pair_block(a, b, at, [&](unsigned k, V w0) { return ref_index(at + 1, random[k] ^ low_word(w0)); });
}

template <Point P, Hint H, bool Backward, unsigned Compressions, bool Paired = false>
static QXT_NOINLINE std::uint64_t chain_run(const ChainProbe& probe, std::uint64_t steps) {
    const unsigned n = probe.chains < 1 ? 1 : probe.chains > max_lanes ? max_lanes : probe.chains;
    LaneState chains[max_lanes];
    std::uint64_t states[max_lanes];
    for (unsigned k = 0; k < n; ++k) {
        states[k] = 0x9E3779B97F4A7C15ull * (k + 1);
        chains[k].base = static_cast<std::uint8_t*>(probe.storage[k]);
        chains[k].r = ref_index(half_blocks, probe_random(states[k]));
        for (auto& line : chains[k].work) line = _mm512_set1_epi64(static_cast<long long>(k + 1));
    }
    std::uint32_t at = half_blocks;
    for (std::uint64_t s = 0; s < steps; ++s) {
        if constexpr (Paired) {
            for (unsigned k = 0; k + 1 < n; k += 2) chain_pair_step(chains[k], chains[k + 1], states[k], states[k + 1], at);
        } else {
            for (unsigned k = 0; k < n; ++k)
                chains[k].r = chain_step<P, H, Backward, Compressions>(chains[k], states[k], at);
        }
        at = at + 1 == last_block ? half_blocks : at + 1;
    }
    _mm_sfence();
    std::uint64_t sum = 0;
    for (unsigned k = 0; k < n; ++k) sum += low_word(chains[k].work[0]);
    return sum;
}

}  // namespace

// ---------------------------------------------------------------------------

// The engine's own settings (prefetch at the index, NTA, forward, one
// compression) and every probe that changes one of them; 0 for a probe that
// changes more, pairs an odd count, or whose storage is smaller than an arena.
std::uint64_t chain_run_avx512(const ChainProbe& probe, std::uint64_t steps) {
    if (probe.blocks < block_count || probe.compressions > 2) return 0;
    const bool backward = probe.order == ChainProbe::Order::backward;
    const int changed = (probe.point != Point::index) + (probe.hint != Hint::nta) + backward +
                        (probe.compressions != 1) + probe.paired;
    if (changed > 1 || (probe.paired && probe.chains % 2 != 0)) return 0;
    if (probe.paired) return chain_run<Point::index, Hint::nta, false, 1, true>(probe, steps);
    switch (probe.point) {
        case Point::none: return chain_run<Point::none, Hint::nta, false, 1>(probe, steps);
        case Point::start: return chain_run<Point::start, Hint::nta, false, 1>(probe, steps);
        case Point::end: return chain_run<Point::end, Hint::nta, false, 1>(probe, steps);
        case Point::index: break;
    }
    switch (probe.hint) {
        case Hint::t0: return chain_run<Point::index, Hint::t0, false, 1>(probe, steps);
        case Hint::t1: return chain_run<Point::index, Hint::t1, false, 1>(probe, steps);
        case Hint::t2: return chain_run<Point::index, Hint::t2, false, 1>(probe, steps);
        case Hint::nta: break;
    }
    if (backward) return chain_run<Point::index, Hint::nta, true, 1>(probe, steps);
    if (probe.compressions == 0) return chain_run<Point::index, Hint::nta, false, 0>(probe, steps);
    if (probe.compressions == 2) return chain_run<Point::index, Hint::nta, false, 2>(probe, steps);
    return chain_run<Point::index, Hint::nta, false, 1>(probe, steps);
}

void hprime_1024_avx512(std::uint8_t* out, const std::uint8_t* in72) {
    alignas(64) std::uint8_t v[64];
    alignas(64) std::uint8_t next[64];
    Blake2bState state;
    const std::uint8_t length[4] = {0x00, 0x04, 0x00, 0x00};  // LE32(1024)
    blake2b_init(state, 64, nullptr, 0);
    blake2b_update(state, length, sizeof length);
    blake2b_update(state, in72, 72);
    blake2b_final(state, v);
    _mm512_mask_storeu_epi64(out, 0x0F, _mm512_load_si512(v));
    for (unsigned k = 2; k <= 30; ++k) {
        blake2b_hash(next, 64, v, 64);
        const V d = _mm512_load_si512(next);
        _mm512_store_si512(v, d);
        _mm512_mask_storeu_epi64(out + 32 * (k - 1), 0x0F, d);
    }
    blake2b_hash(next, 64, v, 64);
    _mm512_storeu_si512(out + 960, _mm512_load_si512(next));
}

void address_block_avx512(const std::uint64_t* z, std::uint64_t* out) {
    alignas(64) std::uint64_t tiled[block_words];
    tile_block(z, tiled);
    compress_zero(tiled);
    compress_zero(tiled);
    untile_block(tiled, out);
}

const void* rebuild_block_avx512(const Arena& arena, std::uint32_t j, void* out) {
    rebuild_into(static_cast<const std::uint8_t*>(arena.base), arena.ref_table, arena.settings.skip_from, j,
                 static_cast<V*>(out));
    return out;
}

void engine_avx512(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    std::uint8_t* const base = static_cast<std::uint8_t*>(arena.base);
    const HashSettings& settings = arena.settings;
    const std::uint32_t skip_from = settings.skip_from;

    alignas(64) std::uint64_t standard[2][block_words];
    alignas(64) std::uint64_t work[block_words];
    alignas(64) V rebuild_buf[16];

    first_blocks(header, nonce, hprime_1024_avx512, standard[0], standard[1]);
    tile_block(standard[0], reinterpret_cast<std::uint64_t*>(base));
    tile_block(standard[1], work);
    std::memcpy(base + block_bytes, work, block_bytes);

    if (side_slots(settings) != 0) {
        fill_first_half<true>(arena, work);
    } else {
        fill_first_half<false>(arena, work);
    }

    if (settings.on_half != nullptr) settings.on_half();

    // r(2^20) from word 0 of B[2^20 - 1].
    std::uint32_t r = ref_index(half_blocks, work[0]);
    if (skip_from >= block_count) {
        fill_natural(base, work, half_blocks, block_count, r);
    } else {
        r = fill_natural(base, work, half_blocks, skip_from, r);
        std::uint32_t* const table = arena.ref_table;
        if (!settings.rebuild) {
            if (table != nullptr) {
                fill_skip<false, true>(base, table, work, rebuild_buf, skip_from, r);
            } else {
                fill_skip<false, false>(base, nullptr, work, rebuild_buf, skip_from, r);
            }
        } else if (table != nullptr) {
            fill_skip<true, true>(base, table, work, rebuild_buf, skip_from, r);
        } else {
            fill_skip<true, false>(base, nullptr, work, rebuild_buf, skip_from, r);
        }
    }
    _mm_sfence();

    untile_block(work, standard[0]);
    final_tag(standard[0], out);
}

void engine_lanes_avx512(const LaneWork* work, unsigned n) {
    const HashSettings& settings = work[0].arena->settings;
    if (n <= 1 || n > max_lanes || skip_store_on(settings)) {
        // One lane, or a layout the interleaved loops do not cover: one after the other.
        for (unsigned k = 0; k < n; ++k) engine_avx512(*work[k].arena, work[k].header, work[k].nonce, work[k].out);
        return;
    }
    LaneState lanes[max_lanes];
    for (unsigned k = 0; k < n; ++k) {
        alignas(64) std::uint64_t standard[2][block_words];
        LaneState& lane = lanes[k];
        lane.base = static_cast<std::uint8_t*>(work[k].arena->base);
        first_blocks(work[k].header, work[k].nonce, hprime_1024_avx512, standard[0], standard[1]);
        tile_block(standard[0], reinterpret_cast<std::uint64_t*>(lane.base));
        tile_block(standard[1], reinterpret_cast<std::uint64_t*>(lane.work));
        std::memcpy(lane.base + block_bytes, lane.work, block_bytes);
    }
    bool complete;
    switch (n) {
        case 2: complete = hash_lanes<2>(work, lanes); break;
        case 3: complete = hash_lanes<3>(work, lanes); break;
        default: complete = hash_lanes<4>(work, lanes); break;
    }
    _mm_sfence();
    for (unsigned k = 0; k < n && complete; ++k) {
        alignas(64) std::uint64_t standard[block_words];
        untile_block(reinterpret_cast<const std::uint64_t*>(lanes[k].work), standard);
        final_tag(standard, work[k].out);
    }
}

void window_run_avx512(void* window, std::uint32_t window_blocks, std::uint64_t count) {
    window_loop(static_cast<V*>(window), window_blocks, count);
}

std::uint64_t random_run_avx512(void* storage, std::uint64_t bytes, std::uint64_t count) {
    auto* const base = static_cast<std::uint8_t*>(storage);
    V sum = _mm512_setzero_si512();
    random_walk(bytes / block_bytes, count, [&](std::uint64_t read, std::uint64_t later, std::uint64_t store) {
        prefetch_block_l2(base + later * block_bytes);
        Lines x;
        load_block(x, reinterpret_cast<const V*>(base + read * block_bytes));
#pragma GCC unroll 16
        for (int k = 1; k < 16; ++k) x[0] = _mm512_xor_si512(x[0], x[k]);
        sum = _mm512_add_epi64(sum, x[0]);
        stream_block(reinterpret_cast<V*>(base + store * block_bytes), x);
    });
    _mm_sfence();
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(sum)));
}

}  // namespace nolu::qxt
