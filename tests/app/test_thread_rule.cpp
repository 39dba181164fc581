// The thread rule on fake memory budgets.
#include <gtest/gtest.h>

#include <cstdint>

#include "app/thread_rule.hpp"
#include "hash/settings.hpp"

using namespace nolu::qxt;

namespace {

constexpr std::int64_t GiB = 1ll << 30;
constexpr std::int64_t MiB = 1ll << 20;

// The arena layout a thread choice puts in force.
HashSettings in_force(const ThreadChoice& c) { return with_skip(HashSettings{}, c.skip, c.rebuild); }

}  // namespace
namespace {

// A host with this much available memory (bytes) and free huge pages.
auto host(std::int64_t available, std::int64_t free_1g = 0, std::int64_t free_2m = 0) {
    return [=](std::uint64_t arena) {
        MemoryBudget b;
        b.available = available;
        b.fit_1g = static_cast<std::int32_t>(free_1g / static_cast<std::int64_t>((arena + GiB - 1) / GiB));
        b.fit_2m = static_cast<std::int32_t>(free_2m / static_cast<std::int64_t>((arena + 2 * MiB - 1) / (2 * MiB)));
        const std::int64_t fit = (available - memory_reserve) / static_cast<std::int64_t>(arena);
        b.fit_ram = fit > 0 ? static_cast<std::int32_t>(fit) : 0;
        return b;
    };
}

}  // namespace

TEST(ThreadRule, SixteenCoresTwelveGiB) {
    const ThreadChoice c = choose_threads(16, 0, -1, true, host(12 * GiB));
    EXPECT_EQ(c.threads, 6);
    EXPECT_EQ(skip_permille(in_force(c)), 600u);
    EXPECT_EQ(arena_bytes(in_force(c)), 1717567488u);
    EXPECT_EQ(c.budget.fit_ram, 6);
    EXPECT_EQ(format_auto_line(c.threads, arena_bytes(in_force(c)), c.budget),
              "6 threads — 1638 MiB of RAM each (0 in 1 GiB pages, 0 in 2 MiB pages, 6 in 12288 MiB available), "
              "override with -t <n>");
}

TEST(ThreadRule, FewAutomaticThreadsSwitchSkipStoreOff) {
    // 3 arenas fit either way: skip-store buys nothing worth it below 4 threads.
    ThreadChoice c = choose_threads(3, 0, -1, true, host(9 * GiB));
    EXPECT_EQ(c.threads, 3);
    EXPECT_EQ(skip_permille(in_force(c)), 0u);
    // An explicit --skip 600 stays on at any count.
    c = choose_threads(3, 0, 600, true, host(9 * GiB));
    EXPECT_EQ(c.threads, 3);
    EXPECT_EQ(skip_permille(in_force(c)), 600u);
    c = choose_threads(1, 1, 600, true, host(64 * GiB));
    EXPECT_EQ(c.threads, 1);
    EXPECT_EQ(skip_permille(in_force(c)), 600u);
}

TEST(ThreadRule, SkipStoreBuysAtMostOneThread) {
    // 2 GiB arenas: 3 fit in 8 GiB; 1536 MiB arenas: 4 fit, capped at full + 1.
    ThreadChoice c = choose_threads(16, 0, 500, true, host(8 * GiB));
    EXPECT_EQ(c.threads, 4);
    c = choose_threads(16, 0, 500, true, host(32 * GiB));
    EXPECT_EQ(c.threads, 16);
    EXPECT_EQ(skip_permille(in_force(c)), 500u);
}

TEST(ThreadRule, UserThreadCounts) {
    // Four user threads or more turn skip-store on (600) unless --skip 0.
    ThreadChoice c = choose_threads(2, 4, -1, true, host(4 * GiB));
    EXPECT_EQ(c.threads, 4);
    EXPECT_EQ(skip_permille(in_force(c)), 600u);
    c = choose_threads(2, 4, 0, true, host(4 * GiB));
    EXPECT_EQ(c.threads, 4);
    EXPECT_EQ(skip_permille(in_force(c)), 0u);
    c = choose_threads(8, 3, -1, true, host(64 * GiB));
    EXPECT_EQ(c.threads, 3);
    EXPECT_EQ(skip_permille(in_force(c)), 0u);
    // Never lowered to fit memory.
    c = choose_threads(1, 12, 0, true, host(0));
    EXPECT_EQ(c.threads, 12);
    // The probe keeps its rebuild flag.
    c = choose_threads(8, 8, 700, false, host(64 * GiB));
    EXPECT_EQ(skip_permille(in_force(c)), 701u);
    EXPECT_FALSE(in_force(c).rebuild);
}

TEST(ThreadRule, NoTopologyOrMemoryStillOneThread) {
    EXPECT_EQ(choose_threads(0, 0, -1, true, host(64 * GiB)).threads, 1);
    const ThreadChoice c = choose_threads(8, 0, -1, true, host(0));
    EXPECT_EQ(c.threads, 1);
    EXPECT_EQ(skip_permille(in_force(c)), 0u);
    // Huge pages count on top of ordinary memory.
    EXPECT_EQ(choose_threads(8, 0, 0, true, host(0, 4, 2048)).threads, 4);
}

TEST(ThreadRule, AutoLineWithCgroupLimit) {
    MemoryBudget b;
    b.available = 5 * GiB + 123;
    b.cgroup_limit = 6 * GiB;
    b.fit_1g = 1;
    b.fit_2m = 0;
    b.fit_ram = 1;
    EXPECT_EQ(format_auto_line(2, 2 * GiB, b),
              "2 threads — 2048 MiB of RAM each (1 in 1 GiB pages, 0 in 2 MiB pages, 1 in 5120 MiB available, cgroup "
              "limit 6144 MiB), override with -t <n>");
}

TEST(ThreadRule, LanesCountArenas) {
    // 12 GiB holds 5 full arenas: 2 threads of 2 lanes, or 1 of 3.
    ThreadChoice c = choose_threads(16, 0, -1, true, host(12 * GiB), 2);
    EXPECT_EQ(c.threads, 2);
    EXPECT_EQ(choose_threads(16, 0, 0, true, host(12 * GiB), 3).threads, 1);
    EXPECT_EQ(choose_threads(2, 0, 0, true, host(64 * GiB), 4).threads, 2);  // the cores still bound it
    // Too little for one thread's lanes: still one thread (its arenas may fail).
    EXPECT_EQ(choose_threads(8, 0, 0, true, host(4 * GiB), 4).threads, 1);
    // An explicit count is kept, as without lanes.
    EXPECT_EQ(choose_threads(8, 6, 0, true, host(4 * GiB), 2).threads, 6);
    EXPECT_EQ(format_auto_line(2, 2 * GiB, c.budget, 2),
              "2 threads × 2 lanes = 4 arenas — 2048 MiB of RAM each (0 in 1 GiB pages, 0 in 2 MiB pages, 5 in 12288 "
              "MiB available), override with -t <n>");
    EXPECT_EQ(format_auto_line(2, 2 * GiB, c.budget, 1).rfind("2 threads — 2048 MiB", 0), 0u);
}

TEST(LaneRule, FollowsTheMemoryBudgetNeverTheThreads) {
    // 2 cores: 9.5 GiB (8 after the reserve) holds 4 full arenas, 2 lanes each.
    ThreadChoice t = choose_threads(2, 0, -1, true, host(9 * GiB + GiB / 2));
    LaneChoice l = choose_lanes(t, 2);
    EXPECT_EQ(t.threads, 2);
    EXPECT_EQ(l.lanes, 2);
    EXPECT_EQ(l.why, "memory holds 2 arenas per thread, and 2 lanes hash faster than one");
    // 3 arenas for 2 threads: no lanes, and the threads stay.
    t = choose_threads(2, 0, -1, true, host(7 * GiB + GiB / 2));
    l = choose_lanes(t, 2);
    EXPECT_EQ(t.threads, 2);
    EXPECT_EQ(l.lanes, 1);
    EXPECT_EQ(l.why, "memory holds one arena per thread");
    // A preference of 3 takes what fits: 2 of them here.
    EXPECT_EQ(choose_lanes(choose_threads(1, 0, -1, true, host(6 * GiB)), 3).lanes, 2);
    EXPECT_EQ(choose_lanes(choose_threads(1, 0, -1, true, host(64 * GiB)), 3).lanes, 3);
    // An engine that pairs its lanes takes an odd count short of its
    // preference down by one, never its preference itself.
    l = choose_lanes(choose_threads(1, 0, -1, true, host(8 * GiB)), 4, true);
    EXPECT_EQ(l.lanes, 2);
    EXPECT_EQ(l.why, "memory holds 3 arenas per thread, and 2 lanes hash faster than one (this engine runs lanes in "
                     "pairs)");
    EXPECT_EQ(choose_lanes(choose_threads(1, 0, -1, true, host(12 * GiB)), 4, true).lanes, 4);
    EXPECT_EQ(choose_lanes(choose_threads(1, 0, -1, true, host(64 * GiB)), 3, true).lanes, 3);
    EXPECT_EQ(choose_lanes(choose_threads(1, 0, -1, true, host(4 * GiB)), 4, true).lanes, 1);
    // An explicit -t above memory gets no lanes.
    EXPECT_EQ(choose_lanes(choose_threads(2, 6, 0, true, host(12 * GiB)), 2).lanes, 1);
    // An engine whose lanes pay nothing, and skip-store at 4 threads, keep one lane.
    l = choose_lanes(choose_threads(2, 0, -1, true, host(64 * GiB)), 1);
    EXPECT_EQ(l.lanes, 1);
    EXPECT_EQ(l.why, "more measured no faster with this engine");
    l = choose_lanes(choose_threads(8, 0, -1, true, host(64 * GiB)), 2);
    EXPECT_EQ(l.lanes, 1);
    EXPECT_EQ(l.why, "skip-store is on");
}
