// The benchmark's compute probe of every engine against the plain one: the
// probe runs an engine's own compression with ordinary stores instead of
// streaming ones, a path no hash takes, so a fault there would only show as
// a wrong limit in the benchmark.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "hash/argon2.hpp"
#include "hash/core_inline.hpp"
#include "hash/engine_table.hpp"
#include "host/cpu_features.hpp"

using namespace nolu::qxt;

namespace {

constexpr std::uint32_t window_blocks = 37;  // the reference stride wraps unevenly

struct FreeAligned {
    void operator()(std::uint64_t* p) const { std::free(p); }
};
using Window = std::unique_ptr<std::uint64_t[], FreeAligned>;

Window seeded_window() {
    auto* p = static_cast<std::uint64_t*>(std::aligned_alloc(64, window_blocks * block_bytes));
    std::uint64_t state = 0x243F6A8885A308D3ull;
    for (std::size_t w = 0; w < std::size_t{window_blocks} * block_words; ++w) p[w] = probe_random(state);
    return Window(p);
}

// The AVX-512 engine keeps its blocks in the tiled word order.
bool tiled(const EngineRow& row) { return std::string_view(row.name) == "avx512"; }

void reorder(std::uint64_t* window, bool to_tiled) {
    std::uint64_t block[block_words];
    for (std::uint32_t b = 0; b < window_blocks; ++b) {
        std::uint64_t* at = window + std::size_t{b} * block_words;
        if (to_tiled) {
            tile_block(at, block);
        } else {
            untile_block(at, block);
        }
        std::memcpy(at, block, block_bytes);
    }
}

}  // namespace

TEST(ComputeProbe, EveryEngineLeavesThePlainWindow) {
    const EngineRow* plain = find_engine("plain");
    ASSERT_NE(plain, nullptr);
    // Past one turn of the window, so results are read back as references.
    for (const std::uint64_t count : {1ull, 5ull, 3ull * window_blocks + 2}) {
        const Window expected = seeded_window();
        plain->probes.compute(expected.get(), window_blocks, count);
        for (const EngineRow& row : engine_rows()) {
            if (!row.usable(detect_isa())) continue;
            const Window got = seeded_window();
            if (tiled(row)) reorder(got.get(), true);
            row.probes.compute(got.get(), window_blocks, count);
            if (tiled(row)) reorder(got.get(), false);
            EXPECT_EQ(std::memcmp(got.get(), expected.get(), window_blocks * block_bytes), 0)
                << row.name << " after " << count << " compressions";
        }
    }
}

// The chain probe's prefetch settings move only its timing: every point a
// hash can use, hint, line order and pairing walks the same blocks and leaves
// the same sum, while the early pick (start), the compute between reads and the number
// of chains change it. A probe that changes two settings, or pairs an odd
// count, is refused (0).
TEST(ChainProbe, PrefetchSettingsNeverChangeTheWalk) {
    const EngineRow* row = find_engine("avx512");
    if (row == nullptr || !row->usable(detect_isa()) || row->probes.chains == nullptr) GTEST_SKIP();
    // A whole arena's address space; the walk touches only a few hundred blocks.
    void* storage = mmap(nullptr, full_arena_bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(storage, MAP_FAILED);
    const auto run = [&](ChainProbe probe) {
        for (void*& s : probe.storage) s = storage;
        probe.blocks = block_count;
        return row->probes.chains(probe, 300);
    };
    using P = ChainProbe;
    std::uint64_t one_chain = 0;
    for (unsigned n = 1; n <= max_lanes; ++n) {
        P base;
        base.chains = n;
        const std::uint64_t expected = run(base);
        EXPECT_NE(expected, 0u);
        if (n == 1) one_chain = expected;
        if (n > 1) {
            EXPECT_NE(expected, one_chain) << n << " chains";
        }
        const auto changed = [&](auto&& set) {
            P p = base;
            set(p);
            return run(p);
        };
        for (P::Point point : {P::Point::none, P::Point::index, P::Point::end})
            EXPECT_EQ(changed([&](P& p) { p.point = point; }), expected) << n << " chains";
        for (P::Hint hint : {P::Hint::t0, P::Hint::t1, P::Hint::t2, P::Hint::nta})
            EXPECT_EQ(changed([&](P& p) { p.hint = hint; }), expected) << n << " chains";
        EXPECT_EQ(changed([](P& p) { p.order = P::Order::backward; }), expected) << n << " chains";
        EXPECT_EQ(changed([](P& p) { p.paired = true; }), n % 2 == 0 ? expected : 0u) << n << " chains";
        EXPECT_NE(changed([](P& p) { p.point = P::Point::start; }), expected) << n << " chains";
        EXPECT_NE(changed([](P& p) { p.compressions = 2; }), expected) << n << " chains";
        EXPECT_EQ(changed([](P& p) { p.point = P::Point::end, p.hint = P::Hint::t0; }), 0u);
    }
    munmap(storage, full_arena_bytes);
}
