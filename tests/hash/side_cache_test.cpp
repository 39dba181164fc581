// Side-cache planner: the published figures over the real index table, the
// plan guarantee (proved by an independent walk), ties, caps and switching off.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "hash/arena.hpp"
#include "hash/index_table.hpp"
#include "hash/side_cache.hpp"
#include "host/cpu_features.hpp"
#include "tests/hash/side_plan_check.hpp"

namespace nolu::qxt {
namespace {

constexpr std::uint32_t blocks = 0x100000;

struct Planned {
    std::uint32_t permille;
    test::PlanReport report;
    std::vector<std::uint16_t> write_slot, read_slot;
};

Planned plan(std::uint32_t slots, std::uint32_t dist) {
    Planned p;
    p.permille = side_plan(slots, dist);
    EXPECT_NE(side_write_slot, nullptr);
    EXPECT_NE(side_read_slot, nullptr);
    p.report = test::check_side_plan(index_table_avx512, side_write_slot, side_read_slot, engine_settings.side_slots);
    EXPECT_TRUE(p.report.ok) << p.report.error;
    p.write_slot.assign(side_write_slot, side_write_slot + blocks);
    p.read_slot.assign(side_read_slot, side_read_slot + blocks);
    return p;
}

std::uint32_t reads_within(std::uint32_t dist) {
    std::uint32_t n = 0;
    for (std::uint32_t i = 2; i < blocks; ++i) n += i - index_table_avx512[i] <= dist;
    return n;
}

class SidePlan : public ::testing::Test {
protected:
    void SetUp() override {
        // The planner reads the AVX-512 index table, built with AVX-512.
        if (!avx512_usable()) GTEST_SKIP() << "this processor has no usable AVX-512 F, VL and BW";
        ensure_index_table_avx512();
    }
    void TearDown() override { side_plan(0, 0); }
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
        EXPECT_EQ(engine_settings.side_slots, f.slots);
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
    EXPECT_EQ(engine_settings.side_slots, 65000u);
    for (std::uint32_t i = 0; i < blocks; ++i) {
        ASSERT_TRUE(p.write_slot[i] == side_none || p.write_slot[i] < 65000) << i;
        ASSERT_TRUE(p.read_slot[i] == side_none || p.read_slot[i] < 65000) << i;
    }
}

TEST_F(SidePlan, ZeroSlotsSwitchesTheCacheOff) {
    plan(1024, 0);
    EXPECT_EQ(side_plan(0, 2048), 0u);
    EXPECT_EQ(engine_settings.side_slots, 0u);
    EXPECT_EQ(side_write_slot, nullptr);
    EXPECT_EQ(side_read_slot, nullptr);
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
    std::uint32_t* const real = index_table_avx512;
    std::vector<std::uint32_t> table(blocks);
    std::mt19937 rng(7);
    for (const std::uint32_t span : {4u, 64u, 3000u}) {
        for (std::uint32_t i = 2; i < blocks; ++i) {
            const std::uint32_t back = 2 + rng() % span;
            table[i] = back <= i ? i - back : 0;
        }
        index_table_avx512 = table.data();
        for (const std::uint32_t slots : {1u, 3u, 100u}) {
            for (const std::uint32_t dist : {0u, 40u}) {
                SCOPED_TRACE(testing::Message() << "span " << span << " slots " << slots << " dist " << dist);
                side_plan(slots, dist);
                const auto r = test::check_side_plan(table.data(), side_write_slot, side_read_slot, slots);
                EXPECT_TRUE(r.ok) << r.error;
                EXPECT_GT(r.served, 0u);
            }
        }
    }
    index_table_avx512 = real;
}

// The checker itself must reject a plan whose slot is overwritten too early.
TEST_F(SidePlan, CheckerRejectsAnOverwrittenSlot) {
    Planned p = plan(4, 2048);
    std::uint32_t reader = 0;
    for (std::uint32_t i = 2; i < blocks && reader == 0; ++i) {
        if (p.read_slot[i] != side_none && i - index_table_avx512[i] > 2) reader = i;
    }
    ASSERT_NE(reader, 0u);
    // Block reader - 1 (after the cached block, before its reader) overwrites the slot.
    p.write_slot[reader - 1] = p.read_slot[reader];
    const auto r = test::check_side_plan(index_table_avx512, p.write_slot.data(), p.read_slot.data(), 4);
    EXPECT_FALSE(r.ok);
    p = plan(4, 2048);
    p.read_slot[reader] = 4;  // out of range
    EXPECT_FALSE(test::check_side_plan(index_table_avx512, p.write_slot.data(), p.read_slot.data(), 4).ok);
}

}  // namespace
}  // namespace nolu::qxt
