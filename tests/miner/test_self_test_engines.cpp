// The real engines pass the self-test with the memory options their row of
// the engine table offers, each in an arena mapped for those settings, as a
// mining thread runs it. One hash per case (the full vector checks, in every
// combination, are the engine tests' business): the full arena, skip-store
// alone (the default from 4 threads), and every option at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hash/arena.hpp"
#include "hash/engine_table.hpp"
#include "hash/side_cache.hpp"
#include "host/cpu_features.hpp"
#include "miner/self_test.hpp"

using namespace nolu::qxt;

namespace {

struct OptionSet {
    std::string name;
    HashSettings settings;
};

std::vector<OptionSet> option_sets(const EngineRow& row, const HashSettings& prepared, const SidePlan& side) {
    std::vector<OptionSet> sets{{"full arena", prepared}};
    if (!row.memory_options) return sets;
    HashSettings skip = with_skip(prepared, 600, true);
    sets.push_back({"skip-store 600", skip});
    skip.reft = true;
    skip.side = &side;
    sets.push_back({"skip-store 600 + reference table + side cache", skip});
    return sets;
}

}  // namespace

// Every row start-up may choose on this processor (the plain row is a
// reference the miner never runs).
TEST(SelfTestEngines, EveryUsableRowPassesWithItsMemoryOptions) {
    const IsaSupport isa = detect_isa();
    std::vector<std::string> ran;
    for (const EngineRow& row : engine_rows()) {
        if (!row.automatic || !row.usable(isa)) continue;
        HashSettings prepared;
        const Status status = row.prepare(prepared);
        ASSERT_TRUE(status) << row.name << ": " << status.error().message;
        const SidePlan side = row.memory_options ? side_plan(prepared.index_table, 1024, 4096) : SidePlan{};
        for (const OptionSet& set : option_sets(row, prepared, side)) {
            Arena arena;
            const Status mapped = arena_allocate(arena, set.settings);
            ASSERT_TRUE(mapped) << mapped.error().message;
            EXPECT_TRUE(self_test_passes(row.hash, arena)) << row.name << ", " << set.name;
            arena_release(arena);
            ran.push_back(std::string(row.name) + ", " + set.name);
        }
    }
    EXPECT_FALSE(ran.empty());
    if (isa.avx512) {
        EXPECT_EQ(ran.size(), 4u);
    }
}

// The lane entry of the row start-up prefers, two lanes in full arenas (the
// lane tests check every row and option against the vectors).
TEST(SelfTestEngines, TheLaneEntryPassesInEveryLane) {
    const IsaSupport isa = detect_isa();
    for (const EngineRow& row : engine_rows()) {
        if (!row.automatic || !row.usable(isa) || row.hash_lanes == nullptr) continue;
        HashSettings settings;
        ASSERT_TRUE(row.prepare(settings)) << row.name;
        std::vector<Arena> arenas(2);
        for (Arena& arena : arenas) ASSERT_TRUE(arena_allocate(arena, settings));
        EXPECT_TRUE(self_test_passes_lanes(row.hash_lanes, arenas)) << row.name;
        for (Arena& arena : arenas) arena_release(arena);
        return;
    }
    GTEST_SKIP() << "no engine with lanes on this processor";
}
