#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "hash/arena.hpp"

using namespace nolu::qxt;

namespace {

class Settings : public ::testing::Test {
protected:
    void TearDown() override { engine_settings = EngineSettings{}; }
};

}  // namespace

TEST_F(Settings, WorkedSizes) {
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
        set_skip(r.permille, true);
        EXPECT_EQ(engine_settings.skip_from, r.skip_from) << r.permille;
        EXPECT_EQ(arena_bytes(), r.bytes) << r.permille;
        EXPECT_EQ(arena_bytes() % (2u << 20), 0u) << r.permille;
        EXPECT_EQ(skip_permille(), r.shown) << r.permille;
        EXPECT_EQ(skip_store_on(), r.skip_from < 0x200000) << r.permille;
    }
}

TEST_F(Settings, RebuildFlag) {
    set_skip(0, false);  // off always rebuilds
    EXPECT_TRUE(engine_settings.rebuild);
    EXPECT_EQ(engine_settings.skip_from, 0x200000u);
    set_skip(600, false);
    EXPECT_FALSE(engine_settings.rebuild);
    set_skip(1000, false);  // off by size, but the flag is taken as given
    EXPECT_FALSE(engine_settings.rebuild);
    EXPECT_FALSE(skip_store_on());
}

TEST_F(Settings, StoredPositions) {
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
        set_skip(p, true);
        const std::uint64_t end = (std::uint64_t{stored_position(0x1FFFFE)} + 1) * 1024;
        EXPECT_LE(end, arena_bytes()) << p;
        EXPECT_EQ(stored_position(0x1FFFFE), stored_position(0x1FFFFE, engine_settings.skip_from));
    }
}

TEST_F(Settings, ReferenceTableEntries) {
    set_reft(true);
    EXPECT_EQ(ref_table_entries(), 0u);  // no table without skip-store
    set_skip(600, true);
    EXPECT_EQ(ref_table_entries(), 419856u);
    set_reft(false);
    EXPECT_EQ(ref_table_entries(), 0u);
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

// A mapping that fails after the side structures were made must leave them
// recorded so that arena_release frees them; run in a child whose address
// space is capped just above what it already uses.
TEST_F(Settings, ReleaseAfterFailedMapping) {
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
        engine_settings.side_slots = 64;
        set_reft(true);
        set_skip(600, true);
        Arena a;
        if (arena_allocate(a)) _exit(12);  // a 1.6 GiB mapping cannot fit
        if (a.side_buf == nullptr || a.ref_table == nullptr || a.base != nullptr) _exit(13);
        if (reinterpret_cast<std::uintptr_t>(a.side_buf) % 64 || reinterpret_cast<std::uintptr_t>(a.ref_table) % 64)
            _exit(14);
        const auto* side = static_cast<const std::uint8_t*>(a.side_buf);
        for (int i = 0; i < 64 * 1024; ++i)
            if (side[i] != 0) _exit(15);
        for (int i = 0; i < 419856; ++i)
            if (a.ref_table[i] != 0) _exit(16);
        arena_release(a);
        if (a.side_buf != nullptr || a.ref_table != nullptr || a.base != nullptr) _exit(17);
        arena_release(a);  // twice, and on an empty record: harmless
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
