#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "host/memory.hpp"

using namespace nolu::qxt;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t GiB = 1ll << 30;
constexpr std::int64_t MiB = 1ll << 20;

// A fake root with /proc and /sys files.
class FakeRoot {
public:
    FakeRoot() {
        root_ = fs::temp_directory_path() / ("qxt-mem-" + std::to_string(getpid()) + "-" + std::to_string(counter_++));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~FakeRoot() { fs::remove_all(root_); }
    void file(const std::string& rel, const std::string& content) {
        const fs::path p = root_ / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << content;
    }
    void meminfo_kb(std::int64_t available_kb) {
        file("proc/meminfo", "MemTotal:       65000000 kB\nMemFree:        1000 kB\nMemAvailable:   " +
                                 std::to_string(available_kb) + " kB\nBuffers:        10 kB\n");
    }
    void huge_pages(std::int64_t free_1g, std::int64_t free_2m) {
        file("sys/kernel/mm/hugepages/hugepages-1048576kB/free_hugepages", std::to_string(free_1g) + "\n");
        file("sys/kernel/mm/hugepages/hugepages-2048kB/free_hugepages", std::to_string(free_2m) + "\n");
    }
    std::string root() const { return root_.string(); }

private:
    fs::path root_;
    static inline int counter_ = 0;
};

}  // namespace

TEST(Memory, ReadNumber) {
    FakeRoot r;
    r.file("a", "  \n 42 trailing");
    r.file("b", "junk");
    r.file("c", "");
    r.file("d", "-7\n");
    EXPECT_EQ(read_number(r.root() + "/a", -1), 42);
    EXPECT_EQ(read_number(r.root() + "/b", -1), -1);
    EXPECT_EQ(read_number(r.root() + "/c", 5), 5);
    EXPECT_EQ(read_number(r.root() + "/d", 0), -7);
    EXPECT_EQ(read_number(r.root() + "/missing", 9), 9);
}

TEST(Memory, AvailableMemoryAfterTheReserve) {
    FakeRoot r;
    r.meminfo_kb(12 * GiB / 1024);
    MemoryBudget b = probe_memory(2 * GiB, r.root());
    EXPECT_EQ(b.available, 12 * GiB);
    EXPECT_EQ(b.cgroup_limit, -1);
    EXPECT_EQ(b.fit_ram, 5);  // (12 - 1.5) / 2
    EXPECT_EQ(b.fit_1g, 0);
    EXPECT_EQ(b.fit_2m, 0);
    EXPECT_EQ(probe_memory(1717567488, r.root()).fit_ram, 6);

    // Below the reserve: zero, not negative.
    r.meminfo_kb(GiB / 1024);
    EXPECT_EQ(probe_memory(2 * GiB, r.root()).fit_ram, 0);
}

TEST(Memory, MissingFilesFallBack) {
    FakeRoot r;
    r.file("proc/meminfo", "MemTotal: 100 kB\nMemFree: 50 kB\n");  // no MemAvailable line
    MemoryBudget b = probe_memory(2 * GiB, r.root());
    EXPECT_EQ(b.available, 0);
    EXPECT_EQ(b.fit_ram, 0);

    b = probe_memory(2 * GiB, r.root() + "/nothing-here");
    EXPECT_EQ(b.available, 0);
    EXPECT_EQ(b.cgroup_limit, -1);
    EXPECT_EQ(b.fit_1g + b.fit_2m + b.fit_ram, 0);
}

TEST(Memory, HugePagesHoldArenas) {
    FakeRoot r;
    r.meminfo_kb(0);
    r.huge_pages(5, 3000);
    MemoryBudget b = probe_memory(2 * GiB, r.root());
    EXPECT_EQ(b.fit_1g, 2);  // 2 pages per arena
    EXPECT_EQ(b.fit_2m, 2);  // 1024 pages per arena
    // A 1638 MiB arena still takes two 1 GiB pages, but only 819 pages of 2 MiB.
    b = probe_memory(1717567488, r.root());
    EXPECT_EQ(b.fit_1g, 2);
    EXPECT_EQ(b.fit_2m, 3);
}

TEST(Memory, CgroupV2) {
    FakeRoot r;
    r.meminfo_kb(32 * GiB / 1024);
    r.file("sys/fs/cgroup/memory.max", "max\n");
    EXPECT_EQ(probe_memory(2 * GiB, r.root()).cgroup_limit, -1);
    EXPECT_EQ(probe_memory(2 * GiB, r.root()).available, 32 * GiB);

    r.file("sys/fs/cgroup/memory.max", std::to_string(8 * GiB) + "\n");
    r.file("sys/fs/cgroup/memory.current", std::to_string(GiB) + "\n");
    MemoryBudget b = probe_memory(2 * GiB, r.root());
    EXPECT_EQ(b.cgroup_limit, 8 * GiB);
    EXPECT_EQ(b.available, 7 * GiB);
    EXPECT_EQ(b.fit_ram, 2);

    // A limit below the usage leaves nothing.
    r.file("sys/fs/cgroup/memory.current", std::to_string(9 * GiB) + "\n");
    b = probe_memory(2 * GiB, r.root());
    EXPECT_EQ(b.available, 0);
    EXPECT_EQ(b.fit_ram, 0);
}

TEST(Memory, CgroupV1) {
    FakeRoot r;
    r.meminfo_kb(32 * GiB / 1024);
    // Nothing set: the v1 interface reports 2^63 - 4096.
    r.file("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
    EXPECT_EQ(probe_memory(2 * GiB, r.root()).cgroup_limit, -1);

    r.file("sys/fs/cgroup/memory/memory.limit_in_bytes", std::to_string(6 * GiB) + "\n");
    r.file("sys/fs/cgroup/memory/memory.usage_in_bytes", std::to_string(512 * MiB) + "\n");
    const MemoryBudget b = probe_memory(2 * GiB, r.root());
    EXPECT_EQ(b.cgroup_limit, 6 * GiB);
    EXPECT_EQ(b.available, 6 * GiB - 512 * MiB);
    EXPECT_EQ(b.fit_ram, 2);
}
