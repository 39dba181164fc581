#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "host/topology.hpp"

using namespace nolu::qxt;
namespace fs = std::filesystem;

namespace {

// A fake /sys/devices/system/cpu tree in a fresh temporary directory.
class FakeSysfs {
public:
    FakeSysfs() {
        root_ = fs::temp_directory_path() / ("qxt-topo-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~FakeSysfs() { fs::remove_all(root_); }

    // Adds cpuN with the given sibling list and L3 id (empty texts: file absent).
    void cpu(int n, const std::string& siblings, const std::string& l3) {
        const fs::path dir = root_ / ("cpu" + std::to_string(n));
        fs::create_directories(dir);
        if (!siblings.empty()) {
            fs::create_directories(dir / "topology");
            std::ofstream(dir / "topology" / "thread_siblings_list") << siblings << "\n";
        }
        if (!l3.empty()) {
            fs::create_directories(dir / "cache" / "index3");
            std::ofstream(dir / "cache" / "index3" / "id") << l3 << "\n";
        }
    }
    std::string root() const { return root_.string(); }

private:
    fs::path root_;
    static inline int counter_ = 0;
};

CpuMask mask_of(std::initializer_list<int> cpus) {
    CpuMask m;
    for (int c : cpus) m.set(c);
    return m;
}

}  // namespace

TEST(Topology, InterleavesTwoL3Groups) {
    FakeSysfs sys;
    for (int n = 0; n < 8; ++n) sys.cpu(n, std::to_string(n), n < 4 ? "0" : "8");
    const Topology t = scan_topology(sys.root(), std::nullopt);
    EXPECT_EQ(t.cpus, (std::vector<int>{0, 4, 1, 5, 2, 6, 3, 7}));
    EXPECT_EQ(t.l3_groups, 2);
}

TEST(Topology, UnevenGroupsAndOneGroup) {
    FakeSysfs sys;
    for (int n = 0; n < 5; ++n) sys.cpu(n, std::to_string(n), n < 2 ? "3" : "1");
    Topology t = scan_topology(sys.root(), std::nullopt);
    // Group 1 (cpus 2,3,4) comes before group 3 (cpus 0,1).
    EXPECT_EQ(t.cpus, (std::vector<int>{2, 0, 3, 1, 4}));
    EXPECT_EQ(t.l3_groups, 2);

    FakeSysfs one;
    for (int n = 0; n < 4; ++n) one.cpu(n, std::to_string(n), "0");
    t = scan_topology(one.root(), std::nullopt);
    EXPECT_EQ(t.cpus, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(t.l3_groups, 1);
}

TEST(Topology, HyperThreadSiblingsCountOnce) {
    // 4 cores, two hardware threads each, numbered 0-3 and 4-7 ("0,4" lists).
    FakeSysfs sys;
    for (int n = 0; n < 8; ++n) sys.cpu(n, std::to_string(n % 4) + "," + std::to_string(n % 4 + 4), "0");
    Topology t = scan_topology(sys.root(), std::nullopt);
    EXPECT_EQ(t.cpus, (std::vector<int>{0, 1, 2, 3}));

    // Adjacent numbering ("0-1" ranges).
    FakeSysfs adj;
    for (int n = 0; n < 8; ++n) adj.cpu(n, std::to_string(n & ~1) + "-" + std::to_string(n | 1), "0");
    t = scan_topology(adj.root(), std::nullopt);
    EXPECT_EQ(t.cpus, (std::vector<int>{0, 2, 4, 6}));
}

TEST(Topology, RestrictedToSecondHardwareThreads) {
    FakeSysfs sys;
    for (int n = 0; n < 8; ++n) sys.cpu(n, std::to_string(n % 4) + "," + std::to_string(n % 4 + 4), "0");
    // Allowed: the second threads of cores 1 and 2, and both threads of core 3.
    const Topology t = scan_topology(sys.root(), mask_of({5, 6, 3, 7}));
    EXPECT_EQ(t.cpus, (std::vector<int>{3, 5, 6}));

    // A range list 0-3 on cpu 2: not the first of its core while 0 or 1 is allowed.
    FakeSysfs wide;
    for (int n = 0; n < 4; ++n) wide.cpu(n, "0-3", "0");
    EXPECT_EQ(scan_topology(wide.root(), mask_of({1, 2})).cpus, (std::vector<int>{1}));
    EXPECT_EQ(scan_topology(wide.root(), mask_of({2, 3})).cpus, (std::vector<int>{2}));
}

TEST(Topology, GapStopsTheScan) {
    FakeSysfs sys;
    sys.cpu(0, "0", "0");
    sys.cpu(1, "1", "0");
    sys.cpu(3, "3", "0");
    EXPECT_EQ(scan_topology(sys.root(), std::nullopt).cpus, (std::vector<int>{0, 1}));
}

TEST(Topology, MissingFilesNeverFail) {
    FakeSysfs sys;
    sys.cpu(0, "", "");        // no sibling file: a core of its own, group 0
    sys.cpu(1, "0-1", "junk");  // unreadable id: group 0
    sys.cpu(2, "2", "5");
    const Topology t = scan_topology(sys.root(), std::nullopt);
    EXPECT_EQ(t.cpus, (std::vector<int>{0, 2}));
    EXPECT_EQ(t.l3_groups, 2);

    const Topology none = scan_topology(sys.root() + "/does-not-exist", std::nullopt);
    EXPECT_TRUE(none.cpus.empty());
    EXPECT_EQ(none.l3_groups, 0);
}

TEST(Topology, SiblingListParsing) {
    EXPECT_EQ(parse_cpu_list("0,8"), (std::vector<int>{0, 8}));
    EXPECT_EQ(parse_cpu_list("0-1"), (std::vector<int>{0, 1}));
    EXPECT_EQ(parse_cpu_list("2-4,9\n"), (std::vector<int>{2, 3, 4, 9}));
    EXPECT_EQ(parse_cpu_list(""), (std::vector<int>{}));
    EXPECT_EQ(parse_cpu_list("1022-5000"), (std::vector<int>{1022, 1023}));
    EXPECT_EQ(parse_cpu_list("3-1"), (std::vector<int>{}));
    EXPECT_EQ(parse_cpu_list("99999999999999999999"), (std::vector<int>{}));
}

TEST(Topology, ThisMachine) {
    const Topology t = scan_topology();
    EXPECT_GE(t.cpus.size(), 1u);
    EXPECT_GE(t.l3_groups, 1);
}
