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
#include "hash/core_inline.hpp"
#include "hash/engine_table.hpp"
#include "hash/isa.hpp"

namespace nolu::qxt {

namespace {

#include "hash/blamka_avx2.inc"

// Cache hints of the two halves' prefetches.
constexpr int first_half_hint = _MM_HINT_T0;
constexpr int second_half_hint = _MM_HINT_NTA;

template <int kHint>
QXT_AVX2_INLINE void prefetch_lines(const std::uint8_t* p, int first, int count) {
    for (int line = first; line < first + count; ++line)
        __builtin_prefetch(p + 64 * line, 0, kHint);  // _MM_HINT_T0 is locality 3, _MM_HINT_NTA 0
}

// One block: w (the previous block, on the stack) becomes G(w, ref); the
// result also goes to dst with streaming stores. In the second half
// (kLookAhead) the reference of block j + 1 is worked out as soon as word 0 of
// the new block is final, and its lines are prefetched while the remaining
// columns are mixed; it is returned (0 otherwise). kStream false stores dst
// through the caches (the compute-bound probe).
template <bool kLookAhead, bool kStream = true>
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
            next = ref_index(j + 1, static_cast<std::uint64_t>(_mm256_extract_epi64(first, 0)));
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
    // The final XOR and the streaming stores stay a pass of their own.
    // Measured here in alternating rounds: taking the XOR inside the column
    // passes was no faster; also streaming each line from the pass that
    // completes it was about 7 % slower.
    for (int k = 0; k < 32; ++k) {
        const __m256i t = _mm256_xor_si256(_mm256_load_si256(w + k), _mm256_load_si256(rc + k));
        _mm256_store_si256(w + k, t);
        if constexpr (kStream) {
            _mm256_stream_si256(dst + k, t);
        } else {
            _mm256_store_si256(dst + k, t);
        }
    }
    return next;
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

inline __m256i* block_at(std::uint8_t* base, std::uint32_t j) {
    return reinterpret_cast<__m256i*>(base + std::size_t{j} * block_bytes);
}

// First half: references from the table; block j + 8's reference is
// prefetched while block j is made, four lines per row pair.
__attribute__((noinline)) void fill_first_half(__m256i* w, __m256i* rc, std::uint8_t* base,
                                               const std::uint32_t* table) {
    constexpr std::uint32_t distance = 8;
    std::uint32_t j = 2;
    for (; j + distance < half_blocks; ++j)
        fill_block<false>(w, rc, block_at(base, table[j]), block_at(base, j), base, j,
                          base + std::size_t{table[j + distance]} * block_bytes);
    for (; j < half_blocks; ++j) fill_block<false>(w, rc, block_at(base, table[j]), block_at(base, j), base, j, nullptr);
}

// Lanes: the first halves one after the other (interleaved, they were
// slower); in the second half each lane's last block waits in its own buffer
// while the other lanes take their turn, block by block.
struct alignas(64) Avx2Lane {
    __m256i w[32];  // the block last made
    std::uint8_t* base = nullptr;
    std::uint32_t r = 0;  // second half: the reference of the next block
};

// False when stopped before the end.
template <unsigned N>
__attribute__((noinline)) bool lanes_second(Avx2Lane* lanes, const HashSettings& settings) {
    alignas(64) __m256i rc[32];
    for (unsigned k = 0; k < N; ++k) {
        Avx2Lane& lane = lanes[k];
        lane.r = ref_index(half_blocks, static_cast<std::uint64_t>(_mm256_extract_epi64(lane.w[0], 0)));
        prefetch_lines<second_half_hint>(lane.base + std::size_t{lane.r} * block_bytes, 0, 16);
    }
    std::uint32_t j = half_blocks;
    for (; j < last_block; ++j) {
        if (j % stop_check_blocks == 0 && stop_asked(settings)) return false;
        for (unsigned k = 0; k < N; ++k) {
            Avx2Lane& lane = lanes[k];
            lane.r = fill_block<true>(lane.w, rc, block_at(lane.base, lane.r), block_at(lane.base, j), lane.base, j,
                                      nullptr);
        }
    }
    for (unsigned k = 0; k < N; ++k) {
        Avx2Lane& lane = lanes[k];
        fill_block<false>(lane.w, rc, block_at(lane.base, lane.r), block_at(lane.base, j), lane.base, j, nullptr);
    }
    return true;
}

// False when stopped before the end.
template <unsigned N>
bool hash_lanes(Avx2Lane* lanes, const HashSettings& settings) {
    alignas(64) __m256i rc[32];
    for (unsigned k = 0; k < N; ++k) {
        if (stop_asked(settings)) return false;
        fill_first_half(lanes[k].w, rc, lanes[k].base, settings.index_table);
    }
    if (settings.on_half != nullptr) settings.on_half();
    return lanes_second<N>(lanes, settings);
}

}  // namespace

void address_block_avx2(const std::uint64_t* z, std::uint64_t* out) {
    alignas(64) __m256i in[32];
    alignas(64) __m256i once[32];
    std::memcpy(in, z, block_bytes);
    compress_zero(in, once);
    compress_zero(once, in);
    std::memcpy(out, in, block_bytes);
}

void engine_avx2(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    alignas(64) __m256i w[32];   // the block last made
    alignas(64) __m256i rc[32];  // R = X ^ Y, kept for the final XOR

    auto* base = static_cast<std::uint8_t*>(arena.base);

    first_blocks(header, nonce, hprime_1024, reinterpret_cast<std::uint64_t*>(base),
                 reinterpret_cast<std::uint64_t*>(base + block_bytes));
    std::memcpy(w, base + block_bytes, block_bytes);

    fill_first_half(w, rc, base, arena.settings.index_table);

    if (arena.settings.on_half != nullptr) arena.settings.on_half();

    // Second half: each reference comes from word 0 of the block just made.
    std::uint32_t r = ref_index(half_blocks, static_cast<std::uint64_t>(_mm256_extract_epi64(w[0], 0)));
    prefetch_lines<second_half_hint>(base + std::size_t{r} * block_bytes, 0, 16);
    std::uint32_t j = half_blocks;
    for (; j < last_block; ++j) r = fill_block<true>(w, rc, block_at(base, r), block_at(base, j), base, j, nullptr);
    fill_block<false>(w, rc, block_at(base, r), block_at(base, j), base, j, nullptr);
    _mm_sfence();

    final_tag(w, out);
}

void engine_lanes_avx2(const LaneWork* work, unsigned n) {
    if (n <= 1 || n > max_lanes) {
        for (unsigned k = 0; k < n; ++k) engine_avx2(*work[k].arena, work[k].header, work[k].nonce, work[k].out);
        return;
    }
    Avx2Lane lanes[max_lanes];
    for (unsigned k = 0; k < n; ++k) {
        Avx2Lane& lane = lanes[k];
        lane.base = static_cast<std::uint8_t*>(work[k].arena->base);
        first_blocks(work[k].header, work[k].nonce, hprime_1024, reinterpret_cast<std::uint64_t*>(lane.base),
                     reinterpret_cast<std::uint64_t*>(lane.base + block_bytes));
        std::memcpy(lane.w, lane.base + block_bytes, block_bytes);
    }
    const HashSettings& settings = work[0].arena->settings;
    bool complete;
    switch (n) {
        case 2: complete = hash_lanes<2>(lanes, settings); break;
        case 3: complete = hash_lanes<3>(lanes, settings); break;
        default: complete = hash_lanes<4>(lanes, settings); break;
    }
    _mm_sfence();
    for (unsigned k = 0; k < n && complete; ++k) final_tag(lanes[k].w, work[k].out);
}

void window_run_avx2(void* window, std::uint32_t window_blocks, std::uint64_t count) {
    auto* base = static_cast<std::uint8_t*>(window);
    alignas(64) __m256i w[32];
    alignas(64) __m256i rc[32];
    std::memcpy(w, base, block_bytes);
    window_walk(window_blocks, count, [&](std::uint32_t ref, std::uint32_t at) {
        fill_block<false, false>(w, rc, block_at(base, ref), block_at(base, at), base, at, nullptr);
    });
}

std::uint64_t random_run_avx2(void* storage, std::uint64_t bytes, std::uint64_t count) {
    auto* const base = static_cast<std::uint8_t*>(storage);
    __m256i sum = _mm256_setzero_si256();
    random_walk(bytes / block_bytes, count, [&](std::uint64_t read, std::uint64_t later, std::uint64_t store) {
        prefetch_lines<first_half_hint>(base + later * block_bytes, 0, 16);
        const __m256i* src = block_at(base, static_cast<std::uint32_t>(read));
        __m256i* dst = block_at(base, static_cast<std::uint32_t>(store));
        __m256i fold = _mm256_setzero_si256();
        for (int k = 0; k < 32; ++k) {
            const __m256i v = _mm256_load_si256(src + k);
            fold = _mm256_xor_si256(fold, v);
            _mm256_stream_si256(dst + k, v);
        }
        sum = _mm256_add_epi64(sum, fold);
    });
    _mm_sfence();
    return static_cast<std::uint64_t>(_mm256_extract_epi64(sum, 0));
}

}  // namespace nolu::qxt
