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
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>
#include <type_traits>

#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "hash/blake2b.hpp"
#include "hash/engine.hpp"
#include "hash/index_table.hpp"
#include "hash/side_cache.hpp"

#define QXT_NOINLINE __attribute__((noinline))

namespace nolu::qxt {
namespace {

#include "hash/blamka_avx512.inc"

using Lines = V[16];

constexpr std::uint32_t last_block = block_count - 1;
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

// r(j) from the first word of B[j - 1]: W = j - 1, r = W - 1 - ((W * ((J1 * J1) >> 32)) >> 32).
static QXT_ALWAYS_INLINE std::uint32_t ref_from_j1(std::uint32_t j, std::uint64_t j1) {
    const std::uint64_t w = j - 1;
    return static_cast<std::uint32_t>(w - 1 - ((w * ((j1 * j1) >> 32)) >> 32));
}

static QXT_ALWAYS_INLINE std::uint32_t low_word(V line) {
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(line)));
}

// Arena slot of block j >= skip_from when it is stored (even j); for odd j
// this is the slot of its stored predecessor j - 1.
static QXT_ALWAYS_INLINE std::uint32_t packed_slot(std::uint32_t j, std::uint32_t skip_from) {
    return skip_from + ((j - skip_from) >> 1);
}

// Conversions between the standard word order (H' output, the tag input) and
// the tiled order, with plain 64-bit moves.
static void tile(const std::uint64_t* standard, std::uint64_t* tiled) {
    for (unsigned n = 0; n < 16; ++n) {
        const unsigned w = 32 * (n >> 2) + 4 * (n & 3);
        for (unsigned k = 0; k < 4; ++k) {
            tiled[8 * n + k] = standard[w + k];
            tiled[8 * n + 4 + k] = standard[w + 16 + k];
        }
    }
}

static void untile(const std::uint64_t* tiled, std::uint64_t* standard) {
    for (unsigned n = 0; n < 16; ++n) {
        const unsigned w = 32 * (n >> 2) + 4 * (n & 3);
        for (unsigned k = 0; k < 4; ++k) {
            standard[w + k] = tiled[8 * n + k];
            standard[w + 16 + k] = tiled[8 * n + 4 + k];
        }
    }
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
    return ref_from_j1(j, *reinterpret_cast<const std::uint32_t*>(slot_ptr(base, packed_slot(j, skip_from))));
}

static QXT_ALWAYS_INLINE bool dropped(std::uint32_t j, std::uint32_t skip_from) {
    return j >= skip_from && (j & 1) != 0;
}

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
        if (!dropped(a, skip_from)) break;
        cur = a;
    }
    const V* y = slot_ptr(base, a < skip_from ? a : packed_slot(a, skip_from));
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
static QXT_NOINLINE void fill_first_half(std::uint8_t* base, std::uint8_t* side, std::uint64_t* work) {
    const std::uint32_t* const index = index_table_avx512;
    const std::uint16_t* const read_slot = side_read_slot;
    const std::uint16_t* const write_slot = side_write_slot;
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
            next = ref_from_j1(i + 1, low_word(w0));
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
            if (Reft && Rebuild && (ref & 1) != 0) {
                _mm_prefetch(reinterpret_cast<const char*>(table + ((ref - skip_from) >> 1)), _MM_HINT_T0);
            }
        }
    };
    auto look_ahead = [&](std::uint32_t i, std::uint32_t& next) {
        return [&, i](V w0) {
            next = ref_from_j1(i + 1, low_word(w0));
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

}  // namespace

// ---------------------------------------------------------------------------

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

const void* rebuild_block(const void* base, const std::uint32_t* ref_table, std::uint32_t j, void* out) {
    rebuild_into(static_cast<const std::uint8_t*>(base), ref_table, engine_settings.skip_from, j, static_cast<V*>(out));
    return out;
}

void engine_avx512(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    std::uint8_t* const base = static_cast<std::uint8_t*>(arena.base);
    const std::uint32_t skip_from = engine_settings.skip_from;
    const bool rebuild = engine_settings.rebuild;
    const bool side = engine_settings.side_slots != 0;

    alignas(64) std::uint8_t h0[72];
    alignas(64) std::uint64_t standard[block_words];
    alignas(64) std::uint64_t work[block_words];
    alignas(64) V rebuild_buf[16];

    argon2_h0(h0, header, nonce);
    hprime_1024_avx512(reinterpret_cast<std::uint8_t*>(standard), h0);
    tile(standard, reinterpret_cast<std::uint64_t*>(base));
    h0[64] = 1;
    hprime_1024_avx512(reinterpret_cast<std::uint8_t*>(standard), h0);
    tile(standard, work);
    for (std::size_t w = 0; w < block_words; ++w) reinterpret_cast<std::uint64_t*>(base + block_bytes)[w] = work[w];

    if (side) {
        fill_first_half<true>(base, static_cast<std::uint8_t*>(arena.side_buf), work);
    } else {
        fill_first_half<false>(base, nullptr, work);
    }

    if (engine_half_hook != nullptr) engine_half_hook();

    // r(2^20) from word 0 of B[2^20 - 1].
    std::uint32_t r = ref_from_j1(half_blocks, static_cast<std::uint32_t>(work[0]));
    if (skip_from >= block_count) {
        fill_natural(base, work, half_blocks, block_count, r);
    } else {
        r = fill_natural(base, work, half_blocks, skip_from, r);
        std::uint32_t* const table = arena.ref_table;
        if (!rebuild) {
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

    untile(work, standard);
    Blake2bState state;
    const std::uint8_t length[4] = {32, 0, 0, 0};
    blake2b_init(state, 32, nullptr, 0);
    blake2b_update(state, length, sizeof length);
    blake2b_update(state, standard, block_bytes);
    blake2b_final(state, out);
}

}  // namespace nolu::qxt
