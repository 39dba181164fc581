#include "hash/settings.hpp"

#include "hash/side_cache.hpp"

namespace nolu::qxt {

std::uint32_t skip_point(std::uint32_t permille) {
    if (permille == 0) return block_count;
    std::uint64_t p = permille;
    if (p < 500) p = 500;
    if (p > 1000) p = 1000;
    // p thousandths of the 2^21 blocks (262144 / 125 = 2^21 / 1000), then to
    // the nearest multiple of 2048.
    return static_cast<std::uint32_t>(((p * 262144) / 125 + 1023) & ~std::uint64_t{0x7FF});
}

HashSettings with_skip(HashSettings settings, std::uint32_t permille, bool rebuild) {
    settings.skip_from = skip_point(permille);
    settings.rebuild = permille == 0 ? true : rebuild;
    return settings;
}

bool skip_store_on(const HashSettings& s) { return s.skip_from < block_count; }

std::uint32_t skip_permille(const HashSettings& s) {
    if (!skip_store_on(s)) return 0;
    return static_cast<std::uint32_t>((std::uint64_t{s.skip_from} * 1000 + 0x1FFFFF) >> 21);
}

std::uint64_t arena_bytes(const HashSettings& s) {
    if (!skip_store_on(s)) return full_arena_bytes;
    const std::uint32_t stored = s.skip_from + (0x200001u - s.skip_from) / 2;
    const std::uint64_t bytes = std::uint64_t{stored} * block_bytes;
    return (bytes + 0x1FFFFF) & ~std::uint64_t{0x1FFFFF};
}

std::uint64_t ref_table_entries(const HashSettings& s) {
    if (!s.reft || !skip_store_on(s)) return 0;
    return (block_count - s.skip_from) / 2 + 16;
}

std::uint32_t side_slots(const HashSettings& s) { return s.side != nullptr ? s.side->slots : 0; }

}  // namespace nolu::qxt
