#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tests/support/sanitizers.hpp"
#include "hash/arena.hpp"
#include "hash/settings.hpp"
#include "hash/side_cache.hpp"

using namespace nolu::qxt;

TEST(Settings, WorkedSizes) {
    struct Row {
        std::uint32_t permille, skip_from;
        std::uint64_t bytes;
        std::uint32_t shown;
    };
    const Row rows[] = {
        {0, 0x200000, 2147483648ull, 0},      {1, 0x100000, 1610612736ull, 500},
        {250, 0x100000, 1610612736ull, 500},  {499, 0x100000, 1610612736ull, 500},
        {500, 0x100000, 1610612736ull, 500},  {501, 0x100800, 1612709888ull, 501},
        {600, 0x133000, 1717567488ull, 600},  {650, 0x14D000, 1772093440ull, 651},
        {700, 0x166800, 1826619392ull, 701},  {900, 0x1CD000, 2040528896ull, 901},
        {999, 0x1FF800, 2147483648ull, 1000}, {1000, 0x200000, 2147483648ull, 0},
        {1001, 0x200000, 2147483648ull, 0},   {5000, 0x200000, 2147483648ull, 0},
        {0xFFFFFFFFu, 0x200000, 2147483648ull, 0},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(skip_point(r.permille), r.skip_from) << r.permille;
        const HashSettings s = with_skip(HashSettings{}, r.permille, true);
        EXPECT_EQ(s.skip_from, r.skip_from) << r.permille;
        EXPECT_EQ(arena_bytes(s), r.bytes) << r.permille;
        EXPECT_EQ(arena_bytes(s) % (2u << 20), 0u) << r.permille;
        EXPECT_EQ(skip_permille(s), r.shown) << r.permille;
        EXPECT_EQ(skip_store_on(s), r.skip_from < 0x200000) << r.permille;
    }
}

TEST(Settings, RebuildFlag) {
    HashSettings s = with_skip(HashSettings{}, 0, false);  // off always rebuilds
    EXPECT_TRUE(s.rebuild);
    EXPECT_EQ(s.skip_from, 0x200000u);
    s = with_skip(s, 600, false);
    EXPECT_FALSE(s.rebuild);
    s = with_skip(s, 1000, false);  // off by size, but the flag is taken as given
    EXPECT_FALSE(s.rebuild);
    EXPECT_FALSE(skip_store_on(s));
}

TEST(Settings, StoredPositions) {
    const std::uint32_t s = 0x133000;
    EXPECT_EQ(stored_position(0x132FFF, s), 0x132FFFu);  // odd, below the skip point
    EXPECT_EQ(stored_position(0x133000, s), 0x133000u);
    EXPECT_EQ(stored_position(0x133001, s), no_slot);
    EXPECT_EQ(stored_position(0x133002, s), 0x133001u);
    EXPECT_EQ(stored_position(0x1FFFFE, s), 0x199800u - 1);  // last slot used
    EXPECT_EQ(stored_position(0x1FFFFF, s), no_slot);
    EXPECT_EQ(stored_position(0x100002, 0x100000), 0x100001u);
    EXPECT_EQ(stored_position(0x1FFFFF, 0x200000), 0x1FFFFFu);  // off: natural slots

    // the last slot lies inside the arena at every skip point
    for (std::uint32_t p = 500; p < 1000; p += 7) {
        const HashSettings settings = with_skip(HashSettings{}, p, true);
        const std::uint64_t end = (std::uint64_t{stored_position(0x1FFFFE, settings.skip_from)} + 1) * 1024;
        EXPECT_LE(end, arena_bytes(settings)) << p;
    }
}

TEST(Settings, ReferenceTableEntries) {
    HashSettings s;
    s.reft = true;
    EXPECT_EQ(ref_table_entries(s), 0u);  // no table without skip-store
    s = with_skip(s, 600, true);
    EXPECT_EQ(ref_table_entries(s), 419856u);
    s.reft = false;
    EXPECT_EQ(ref_table_entries(s), 0u);
}

TEST(Settings, SideSlotsComeFromThePlan) {
    HashSettings s;
    EXPECT_EQ(side_slots(s), 0u);  // no plan: no side cache
    SidePlan plan;
    plan.slots = 64;
    s.side = &plan;
    EXPECT_EQ(side_slots(s), 64u);
    const SidePlan off = side_plan(nullptr, 0, 0);  // zero slots: the empty plan, no table read
    s.side = &off;
    EXPECT_EQ(side_slots(s), 0u);
}

TEST(TiledOrder, RoundTripAndFixedPositions) {
    std::uint64_t standard[128], tiled[128], back[128];
    for (int i = 0; i < 128; ++i) standard[i] = 0x1000 + i;
    to_tiled(standard, tiled);
    EXPECT_EQ(tiled[0], standard[0]);   // word 0 stays first
    EXPECT_EQ(tiled[4], standard[16]);  // byte 32 of line 0: word 0 of row 1
    EXPECT_EQ(tiled[8], standard[4]);   // byte 0 of line 1
    EXPECT_EQ(tiled[8 * 5], standard[36]);  // line 5 = 4*1 + 1: row 2, words 4..7
    EXPECT_EQ(tiled[127], standard[127]);
    bool seen[128] = {};
    for (int i = 0; i < 128; ++i) seen[tiled[i] - 0x1000] = true;
    for (int i = 0; i < 128; ++i) EXPECT_TRUE(seen[i]) << i;  // a permutation
    from_tiled(tiled, back);
    EXPECT_EQ(0, std::memcmp(back, standard, sizeof standard));
}

// A mapping that fails after the side structures were made leaves nothing
// allocated: the record is empty, and a failed attempt repeated many times
// never runs short of the memory the side structures take. Run in a child
// whose address space is capped just above what it already uses.
TEST(Settings, FailedMappingLeavesNothingAllocated) {
#if defined(QXT_ADDRESS_SANITIZER)
    // The sanitizer's allocator keeps freed blocks in quarantine, so the
    // address space counts them whether they leaked or not.
    GTEST_SKIP() << "address space accounting does not hold under the address sanitizer";
#endif
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        long pages = 0;
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
            std::fclose(f);
        }
        if (pages <= 0) _exit(10);
        const rlim_t cap = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (256u << 20);
        const rlimit lim{cap, cap};
        if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(11);
        SidePlan plan;
        plan.slots = 64;
        HashSettings settings = with_skip(HashSettings{}, 600, true);
        settings.reft = true;
        settings.side = &plan;
        Arena a;
        // 300 attempts of 1.7 MiB side structures each: more than the 256 MiB
        // of headroom if any of them stayed allocated.
        for (int attempt = 0; attempt < 300; ++attempt) {
            const Status status = arena_allocate(a, settings);
            if (status) _exit(12);  // a 1.6 GiB mapping cannot fit
            // it got as far as the mapping: the side structures were made
            if (status.error().message.find("cannot map") != 0) _exit(13);
            if (a.side_buf != nullptr || a.ref_table != nullptr || a.base != nullptr) _exit(14);
            if (a.mapped_bytes != 0 || a.huge_pages) _exit(15);
        }
        arena_release(a);  // and on an empty record: harmless
        if (a.side_buf != nullptr || a.ref_table != nullptr || a.base != nullptr) _exit(16);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
