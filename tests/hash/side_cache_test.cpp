// Side-cache planner: the published figures over the real index table, the
// plan guarantee (proved by an independent walk), ties, caps and switching off.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "hash/engine_table.hpp"
#include "hash/settings.hpp"
#include "hash/side_cache.hpp"
#include "host/cpu_features.hpp"
#include "tests/hash/side_plan_check.hpp"

namespace nolu::qxt {
namespace {

constexpr std::uint32_t blocks = 0x100000;

using Plan = ::nolu::qxt::SidePlan;  // the fixture below takes the name SidePlan

struct Planned {
    std::uint32_t permille = 0;
    std::uint32_t slots = 0;
    std::uint32_t dist = 0;
    test::PlanReport report;
    std::vector<std::uint16_t> write_slot, read_slot;
};

// Plans over table and proves the plan with the independent walk.
Planned plan_over(const std::uint32_t* table, std::uint32_t slots, std::uint32_t dist) {
    const Plan made = side_plan(table, slots, dist);
    Planned p;
    p.permille = served_permille(made);
    p.slots = made.slots;
    p.dist = made.dist;
    if (made.write_slot.size() != blocks || made.read_slot.size() != blocks) {
        ADD_FAILURE() << "plan tables of " << made.write_slot.size() << " and " << made.read_slot.size()
                      << " entries";
        return p;
    }
    p.report = test::check_side_plan(table, made.write_slot.data(), made.read_slot.data(), made.slots);
    EXPECT_TRUE(p.report.ok) << p.report.error;
    EXPECT_EQ(made.served, p.report.served);  // the planner's own count agrees with the walk
    p.write_slot = made.write_slot;
    p.read_slot = made.read_slot;
    return p;
}

class SidePlan : public ::testing::Test {
protected:
    void SetUp() override {
        // The plan serves the AVX-512 engine (the row with memory options) and
        // is made over that row's index table, built with AVX-512.
        if (!detect_isa().avx512) GTEST_SKIP() << "this processor has no usable AVX-512 F, VL and BW";
        const EngineRow* row = find_engine("avx512");
        ASSERT_NE(row, nullptr);
        ASSERT_TRUE(row->memory_options);
        HashSettings settings;
        const Status status = row->prepare(settings);
        ASSERT_TRUE(status) << status.error().message;
        table_ = settings.index_table;
        ASSERT_NE(table_, nullptr);
    }

    Planned plan(std::uint32_t slots, std::uint32_t dist) const { return plan_over(table_, slots, dist); }

    std::uint32_t reads_within(std::uint32_t dist) const {
        std::uint32_t n = 0;
        for (std::uint32_t i = 2; i < blocks; ++i) n += i - table_[i] <= dist;
        return n;
    }

    const std::uint32_t* table_ = nullptr;
};

struct Figure {
    std::uint32_t slots, distance, served, permille;
};

TEST_F(SidePlan, AutomaticDistanceReproducesTheWorkedFigures) {
    const Figure figures[] = {
        {256, 4096, 111633, 106},   {1024, 16384, 185244, 176}, {4096, 32768, 304916, 290},
        {16384, 32768, 338680, 322}, {65000, 32768, 338680, 322},
    };
    for (const Figure& f : figures) {
        SCOPED_TRACE(f.slots);
        const Planned automatic = plan(f.slots, 0);
        EXPECT_EQ(automatic.report.served, f.served);
        EXPECT_EQ(automatic.permille, f.permille);
        EXPECT_EQ(automatic.slots, f.slots);
        EXPECT_EQ(automatic.dist, f.distance);
        // The distance it chose: planning that distance alone gives the same tables.
        const Planned fixed = plan(f.slots, f.distance);
        EXPECT_EQ(fixed.report.served, f.served);
        EXPECT_TRUE(fixed.write_slot == automatic.write_slot && fixed.read_slot == automatic.read_slot);
        EXPECT_LE(automatic.report.max_read_distance, f.distance);
    }
    // 338,680 is every read within 32768 but the 10 reads of blocks 0 and 1.
    EXPECT_EQ(reads_within(32768), 338690u);
}

TEST_F(SidePlan, GivenDistanceServesAllButTheReadsOfBlocksZeroAndOne) {
    EXPECT_EQ(reads_within(2048), 90563u);
    for (const std::uint32_t slots : {1024u, 4096u, 65000u}) {
        const Planned p = plan(slots, 2048);
        EXPECT_EQ(p.report.served, 90554u) << slots;
        EXPECT_LE(p.report.max_read_distance, 2048u);
    }
}

TEST_F(SidePlan, OneSlotStillServesEveryBlockItCaches) {
    // The checker proves the single slot is never reused before its last reader.
    const Planned p = plan(1, 2048);
    EXPECT_GT(p.report.cached, 0u);
    EXPECT_GE(p.report.served, p.report.cached);
}

TEST_F(SidePlan, SlotCountIsCappedAndNoneNeverNamesASlot) {
    const Planned p = plan(65535, 0);
    EXPECT_EQ(p.slots, 65000u);
    for (std::uint32_t i = 0; i < blocks; ++i) {
        ASSERT_TRUE(p.write_slot[i] == side_none || p.write_slot[i] < 65000) << i;
        ASSERT_TRUE(p.read_slot[i] == side_none || p.read_slot[i] < 65000) << i;
    }
}

TEST_F(SidePlan, ZeroSlotsSwitchesTheCacheOff) {
    const Plan off = side_plan(table_, 0, 2048);
    EXPECT_EQ(served_permille(off), 0u);
    EXPECT_EQ(off.slots, 0u);
    EXPECT_TRUE(off.write_slot.empty());
    EXPECT_TRUE(off.read_slot.empty());
    HashSettings settings;
    settings.side = &off;
    EXPECT_EQ(side_slots(settings), 0u);  // the engine runs without the side cache
}

TEST_F(SidePlan, DistanceOneServesNothing) {
    const Planned p = plan(1024, 1);
    EXPECT_EQ(p.permille, 0u);
    EXPECT_EQ(p.report.served, 0u);
    EXPECT_EQ(p.report.cached, 0u);
}

// Synthetic index tables stress the slot reuse far more than the real one:
// every read is near, so slots are released and reused on almost every block.
TEST_F(SidePlan, RandomTablesKeepTheGuarantee) {
    std::vector<std::uint32_t> table(blocks);
    std::mt19937 rng(7);
    for (const std::uint32_t span : {4u, 64u, 3000u}) {
        for (std::uint32_t i = 2; i < blocks; ++i) {
            const std::uint32_t back = 2 + rng() % span;
            table[i] = back <= i ? i - back : 0;
        }
        for (const std::uint32_t slots : {1u, 3u, 100u}) {
            for (const std::uint32_t dist : {0u, 40u}) {
                SCOPED_TRACE(testing::Message() << "span " << span << " slots " << slots << " dist " << dist);
                const Planned p = plan_over(table.data(), slots, dist);
                EXPECT_TRUE(p.report.ok) << p.report.error;
                EXPECT_GT(p.report.served, 0u);
            }
        }
    }
}

// The checker itself must reject a plan whose slot is overwritten too early.
TEST_F(SidePlan, CheckerRejectsAnOverwrittenSlot) {
    Planned p = plan(4, 2048);
    std::uint32_t reader = 0;
    for (std::uint32_t i = 2; i < blocks && reader == 0; ++i) {
        if (p.read_slot[i] != side_none && i - table_[i] > 2) reader = i;
    }
    ASSERT_NE(reader, 0u);
    // Block reader - 1 (after the cached block, before its reader) overwrites the slot.
    p.write_slot[reader - 1] = p.read_slot[reader];
    const auto r = test::check_side_plan(table_, p.write_slot.data(), p.read_slot.data(), 4);
    EXPECT_FALSE(r.ok);
    p = plan(4, 2048);
    p.read_slot[reader] = 4;  // out of range
    EXPECT_FALSE(test::check_side_plan(table_, p.write_slot.data(), p.read_slot.data(), 4).ok);
}

}  // namespace
}  // namespace nolu::qxt
