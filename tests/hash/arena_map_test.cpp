// Real arena mappings in every page kind this machine can give. Tests that
// reserve huge pages run only as root and put the reservation back.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hash/arena.hpp"
#include "hash/settings.hpp"
#include "hash/side_cache.hpp"

using namespace nolu::qxt;

namespace {

const std::string pages_1g = "/sys/kernel/mm/hugepages/hugepages-1048576kB/";
const std::string pages_2m = "/sys/kernel/mm/hugepages/hugepages-2048kB/";

long read_long(const std::string& path) {
    long v = -1;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(f, "%ld", &v) != 1) v = -1;
        std::fclose(f);
    }
    return v;
}

bool write_long(const std::string& path, long v) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const bool ok = std::fprintf(f, "%ld\n", v) > 0;
    return std::fclose(f) == 0 && ok;
}

// Reserves `extra` more pages of one size and restores the old count.
class Reservation {
public:
    Reservation(const std::string& dir, long extra) : path_(dir + "nr_hugepages") {
        before_ = read_long(path_);
        if (before_ < 0 || geteuid() != 0) return;
        active_ = write_long(path_, before_ + extra);
    }
    ~Reservation() {
        if (active_) write_long(path_, before_);
    }
    bool active() const { return active_; }

private:
    std::string path_;
    long before_ = -1;
    bool active_ = false;
};

void touch_ends(const Arena& a) {
    auto* p = static_cast<volatile std::uint8_t*>(a.base);
    p[0] = 1;
    p[a.size - 1] = 2;
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[a.size - 1], 2);
}

::testing::AssertionResult allocated(Arena& a, const HashSettings& settings) {
    const Status status = arena_allocate(a, settings);
    if (status) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << status.error().message;
}

bool all_zero(const void* p, std::size_t bytes) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    for (std::size_t i = 0; i < bytes; ++i)
        if (b[i] != 0) return false;
    return true;
}

}  // namespace

TEST(ArenaMap, TransparentHugePages) {
    if (read_long(pages_1g + "free_hugepages") > 0 || read_long(pages_2m + "free_hugepages") >= 1024)
        GTEST_SKIP() << "free explicit huge pages would be taken first";
    Arena a;
    ASSERT_TRUE(allocated(a, HashSettings{}));
    EXPECT_FALSE(a.huge_pages);
    EXPECT_EQ(a.page_shift, 21);
    EXPECT_EQ(a.size, 2147483648ull);
    EXPECT_EQ(a.mapped_bytes, a.size);
    // On a 2 MiB boundary, so that huge pages can back all of it.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.base) % (2u << 20), 0u);
    touch_ends(a);
    arena_release(a);
    EXPECT_EQ(a.base, nullptr);
    EXPECT_EQ(a.mapped_bytes, 0u);

    // Populated at mapping time, every step of it, but not once a stop is
    // asked: a thread going down would otherwise go on populating gigabytes.
    constexpr std::uint64_t bytes = 64u << 20;
    const auto resident_pages = [](const Arena& arena, std::uint64_t at) {
        std::vector<unsigned char> in(bytes / 4096);
        EXPECT_EQ(mincore(static_cast<char*>(arena.base) + at, bytes, in.data()), 0) << std::strerror(errno);
        return std::count_if(in.begin(), in.end(), [](unsigned char c) { return (c & 1) != 0; });
    };
    std::atomic<bool> stop{true};
    HashSettings settings;
    settings.prefault = true;
    settings.stop = &stop;
    ASSERT_TRUE(allocated(a, settings));
    EXPECT_EQ(resident_pages(a, 0), 0);
    arena_release(a);
    stop = false;
    ASSERT_TRUE(allocated(a, settings));
    EXPECT_EQ(resident_pages(a, 0), bytes / 4096);
    EXPECT_EQ(resident_pages(a, a.size - bytes), bytes / 4096);  // every step, the last included
    arena_release(a);
}

TEST(ArenaMap, TwoMegabytePages) {
    if (geteuid() != 0) GTEST_SKIP() << "reserving 2 MiB pages needs root";
    if (read_long(pages_1g + "free_hugepages") > 0) GTEST_SKIP() << "free 1 GiB pages would be taken first";
    Reservation r(pages_2m, 1024);
    if (!r.active() || read_long(pages_2m + "free_hugepages") < 1024)
        GTEST_SKIP() << "could not reserve 1024 pages of 2 MiB";
    const long free_before = read_long(pages_2m + "free_hugepages");
    Arena a;
    ASSERT_TRUE(allocated(a, HashSettings{}));
    EXPECT_TRUE(a.huge_pages);
    EXPECT_EQ(a.page_shift, 21);
    EXPECT_EQ(a.mapped_bytes, 2147483648ull);
    EXPECT_EQ(read_long(pages_2m + "free_hugepages"), free_before - 1024);  // populated at once
    touch_ends(a);
    arena_release(a);
    EXPECT_EQ(read_long(pages_2m + "free_hugepages"), free_before);
}

// A skip-store arena of 1638 MiB in 1 GiB pages: the mapping covers two whole
// pages and both go back on release.
TEST(ArenaMap, GigabytePagesWithPartialLength) {
    if (geteuid() != 0) GTEST_SKIP() << "reserving 1 GiB pages needs root";
    Reservation r(pages_1g, 2);
    if (!r.active() || read_long(pages_1g + "free_hugepages") < 2)
        GTEST_SKIP() << "could not reserve two 1 GiB pages";
    const long free_before = read_long(pages_1g + "free_hugepages");

    Arena a;
    ASSERT_TRUE(allocated(a, with_skip(HashSettings{}, 600, true)));
    EXPECT_TRUE(a.huge_pages);
    EXPECT_EQ(a.page_shift, 30);
    EXPECT_EQ(a.size, 1717567488ull);
    EXPECT_EQ(a.mapped_bytes, 2147483648ull);
    EXPECT_EQ(read_long(pages_1g + "free_hugepages"), free_before - 2);
    touch_ends(a);
    arena_release(a);
    EXPECT_EQ(read_long(pages_1g + "free_hugepages"), free_before);

    // What the kernel does with the unrounded length (reported, not asserted).
    const std::uint64_t len = 1717567488ull;
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE | MAP_HUGETLB | (30 << 26), -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    const int rc = munmap(p, len);
    const int err = errno;
    const long free_after = read_long(pages_1g + "free_hugepages");
    std::printf("munmap(1 GiB pages, %llu bytes) = %d (%s); free 1 GiB pages %ld of %ld\n",
                static_cast<unsigned long long>(len), rc, rc == 0 ? "ok" : std::strerror(err), free_after,
                free_before);
    if (rc != 0) {
        EXPECT_EQ(munmap(p, 2147483648ull), 0);
    }
    EXPECT_EQ(read_long(pages_1g + "free_hugepages"), free_before);
}

// The side structures come zero-filled and 64-byte aligned with the storage,
// the record keeps the settings it was mapped for, and the same record can be
// allocated again after a release (verification does this once per pass).
TEST(ArenaMap, SideStructuresAndReusedRecord) {
    SidePlan plan;
    plan.slots = 64;
    HashSettings settings = with_skip(HashSettings{}, 600, true);
    settings.reft = true;
    settings.side = &plan;
    Arena a;
    ASSERT_TRUE(allocated(a, settings));
    EXPECT_EQ(a.size, arena_bytes(settings));
    EXPECT_EQ(a.settings.skip_from, settings.skip_from);
    EXPECT_TRUE(a.settings.reft);
    EXPECT_EQ(a.settings.side, &plan);
    ASSERT_NE(a.side_buf, nullptr);
    ASSERT_NE(a.ref_table, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.side_buf) % (2u << 20), 0u);  // a huge page of its own
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.ref_table) % 64, 0u);
    EXPECT_TRUE(all_zero(a.side_buf, 64 * 1024));
    EXPECT_TRUE(all_zero(a.ref_table, 419856 * 4));
    const std::uint64_t small = a.size;
    arena_release(a);
    EXPECT_EQ(a.base, nullptr);
    EXPECT_EQ(a.side_buf, nullptr);
    EXPECT_EQ(a.ref_table, nullptr);
    arena_release(a);  // twice, and on an empty record: harmless

    ASSERT_TRUE(allocated(a, HashSettings{}));
    EXPECT_GT(a.size, small);
    EXPECT_GE(a.mapped_bytes, a.size);
    EXPECT_EQ(a.side_buf, nullptr);  // this layout asks for neither
    EXPECT_EQ(a.ref_table, nullptr);
    touch_ends(a);
    arena_release(a);
}
