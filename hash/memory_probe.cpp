// Memory probes: baseline x86-64 (SSE2) code only, like the rest of the
// generically built files.
#include "hash/memory_probe.hpp"

#include <emmintrin.h>

#include "hash/argon2.hpp"
#include "hash/core_inline.hpp"

namespace nolu::qxt {

std::uint64_t probe_random_blocks(void* storage, std::uint64_t bytes, std::uint64_t count) {
    auto* base = static_cast<std::uint8_t*>(storage);
    __m128i sum = _mm_setzero_si128();
    random_walk(bytes / block_bytes, count, [&](std::uint64_t read, std::uint64_t later, std::uint64_t store) {
        const std::uint8_t* pre = base + later * block_bytes;
        for (int line = 0; line < 16; ++line) _mm_prefetch(reinterpret_cast<const char*>(pre + 64 * line), _MM_HINT_T1);
        const auto* src = reinterpret_cast<const __m128i*>(base + read * block_bytes);
        __m128i block = _mm_setzero_si128();
        for (int v = 0; v < 64; ++v) block = _mm_xor_si128(block, _mm_load_si128(src + v));
        sum = _mm_add_epi64(sum, block);
        auto* dst = reinterpret_cast<__m128i*>(base + store * block_bytes);
        for (int v = 0; v < 64; ++v) _mm_stream_si128(dst + v, block);
    });
    _mm_sfence();
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sum));
}

std::uint64_t probe_dependent_blocks(const void* storage, std::uint64_t bytes, std::uint64_t count) {
    const auto* base = static_cast<const std::uint8_t*>(storage);
    const std::uint64_t blocks = bytes / block_bytes;
    if (blocks < 2) return 0;
    std::uint64_t state = 0x2545F4914F6CDD1Dull;
    std::uint64_t at = 0;
    std::uint64_t sum = 0;
    for (std::uint64_t n = 0; n < count; ++n) {
        // The whole block is read; one word of every line feeds the next address.
        const auto* src = reinterpret_cast<const std::uint64_t*>(base + at * block_bytes);
        std::uint64_t fold = 0;
        for (int line = 0; line < 16; ++line) fold += src[8 * line];
        sum += fold;
        at = probe_pick(probe_random(state) ^ fold, blocks);
    }
    return sum;
}

}  // namespace nolu::qxt
