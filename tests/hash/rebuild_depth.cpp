// Measures how deep skip-store's rebuild chains get: hashes N nonces with
// the AVX-512 row of the engine table on a full arena, then, for each skip
// point, follows the reference of every block past it that reads a dropped
// block, exactly as the row's rebuild walks it, and prints the deepest chain
// and a histogram.
//
//   rebuild_depth [nonces] [permille,...]     (default: 200 500,600,700)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "hash/core_inline.hpp"
#include "hash/engine_table.hpp"
#include "hash/settings.hpp"
#include "host/cpu_features.hpp"

using namespace nolu::qxt;

int main(int argc, char** argv) {
    const unsigned nonces = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 200;
    std::vector<std::uint32_t> points;
    for (const char* p = argc > 2 ? argv[2] : "500,600,700"; *p != '\0';) {
        char* end = nullptr;
        points.push_back(static_cast<std::uint32_t>(std::strtoul(p, &end, 10)));
        p = *end == ',' ? end + 1 : end;
    }

    const EngineRow* row = find_engine("avx512");
    if (row == nullptr || !row->usable(detect_isa())) {
        std::fprintf(stderr, "%s\n", row != nullptr ? row->unusable : "no avx512 engine");
        return 1;
    }
    HashSettings settings;
    if (const Status status = row->prepare(settings); !status) {
        std::fprintf(stderr, "%s\n", status.error().message.c_str());
        return 1;
    }
    Arena arena;
    if (const Status status = arena_allocate(arena, settings); !status) {
        std::fprintf(stderr, "%s\n", status.error().message.c_str());
        return 1;
    }
    const auto* base = static_cast<const std::uint8_t*>(arena.base);
    std::vector<std::uint32_t> ref(block_count);  // r(j) for the second half
    std::uint8_t header[header_bytes];
    for (std::size_t i = 0; i < header_bytes; ++i) header[i] = static_cast<std::uint8_t>(i * 13 + 5);

    struct Stats {
        std::uint32_t skip_from;
        std::vector<std::uint64_t> histogram;  // rebuild calls by chain depth
        std::uint32_t deepest = 0;
    };
    std::vector<Stats> stats;
    for (const std::uint32_t p : points) stats.push_back({skip_point(p), std::vector<std::uint64_t>(64, 0)});

    std::vector<std::uint32_t> depth(block_count);
    for (unsigned n = 0; n < nonces; ++n) {
        std::uint8_t tag[hash_bytes];
        row->hash(arena, header, 0x9E3779B97F4A7C15ull * (n + 1), tag);
        for (std::uint32_t j = half_blocks; j < block_count; ++j) {
            std::uint32_t j1;
            std::memcpy(&j1, base + std::uint64_t{j - 1} * block_bytes, 4);  // word 0 in either order
            ref[j] = ref_index(j, j1);
        }
        for (Stats& s : stats) {
            // depth[j]: blocks rebuilt when dropped block j is needed.
            for (std::uint32_t j = s.skip_from + 1; j < block_count; j += 2) {
                const std::uint32_t a = ref[j];
                depth[j] = 1 + ((a >= s.skip_from && (a & 1)) ? depth[a] : 0);
            }
            for (std::uint32_t i = s.skip_from; i < block_count; ++i) {
                const std::uint32_t r = ref[i];
                if (r < s.skip_from || (r & 1) == 0) continue;
                const std::uint32_t d = depth[r];
                ++s.histogram[d < 63 ? d : 63];
                if (d > s.deepest) s.deepest = d;
            }
        }
        if ((n + 1) % 50 == 0) std::fprintf(stderr, "%u hashes\n", n + 1);
    }
    arena_release(arena);

    std::printf("%u hashes\n", nonces);
    for (const Stats& s : stats) {
        std::uint64_t calls = 0;
        for (auto c : s.histogram) calls += c;
        std::printf("skip_from 0x%06X: %.0f rebuilds per hash, deepest chain %u blocks; by depth:", s.skip_from,
                    static_cast<double>(calls) / nonces, s.deepest);
        for (std::uint32_t d = 1; d <= s.deepest && d < 64; ++d) {
            std::printf(" %u:%llu", d, static_cast<unsigned long long>(s.histogram[d]));
        }
        std::printf("\n");
    }
    return 0;
}
