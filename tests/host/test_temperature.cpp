// The CPU temperature from a fake /sys tree: the processor's hwmon chips
// win over the package thermal zones, other chips and bad readings count for
// nothing, and a tree without sensors gives no reading.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "host/temperature.hpp"

using namespace nolu::qxt;
namespace fs = std::filesystem;

namespace {

class FakeSys {
public:
    FakeSys() : root_(fs::temp_directory_path() / ("qxt-temp-" + std::to_string(getpid()))) {
        fs::remove_all(root_);
        fs::create_directories(root_ / "sys/class");
    }
    ~FakeSys() { fs::remove_all(root_); }
    void file(const std::string& rel, const std::string& content) {
        const fs::path p = root_ / "sys/class" / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << content;
    }
    std::string root() const { return root_.string(); }

private:
    fs::path root_;
};

}  // namespace

TEST(CpuTemperature, HottestProcessorSensorFromAFakeTree) {
    FakeSys sys;
    EXPECT_FALSE(read_cpu_temperature(sys.root()));
    EXPECT_FALSE(read_cpu_temperature(sys.root() + "/missing"));

    // A package zone only: its reading; other zones do not count.
    sys.file("thermal/thermal_zone0/type", "acpitz\n");
    sys.file("thermal/thermal_zone0/temp", "90000\n");
    sys.file("thermal/thermal_zone1/type", "x86_pkg_temp\n");
    sys.file("thermal/thermal_zone1/temp", "51500\n");
    EXPECT_EQ(read_cpu_temperature(sys.root()), 51.5);

    // A processor chip wins over the zones, whatever it reads; the hottest
    // of its inputs and of every such chip; a GPU's or a disk's chip, labels,
    // limits and unreadable inputs are passed over.
    sys.file("hwmon/hwmon0/name", "amdgpu\n");
    sys.file("hwmon/hwmon0/temp1_input", "99000\n");
    sys.file("hwmon/hwmon1/name", "coretemp\n");
    sys.file("hwmon/hwmon1/temp1_input", "45000\n");
    sys.file("hwmon/hwmon1/temp2_input", "47250\n");
    sys.file("hwmon/hwmon1/temp2_crit", "100000\n");
    sys.file("hwmon/hwmon1/temp3_input", "n/a\n");
    EXPECT_EQ(read_cpu_temperature(sys.root()), 47.25);
    sys.file("hwmon/hwmon2/name", "k10temp\n");
    sys.file("hwmon/hwmon2/temp1_input", "62125\n");
    EXPECT_EQ(read_cpu_temperature(sys.root()), 62.125);
    sys.file("hwmon/hwmon3/name", "zenpower\n");
    sys.file("hwmon/hwmon3/temp1_input", "63000");
    EXPECT_EQ(read_cpu_temperature(sys.root()), 63.0);
    sys.file("hwmon/hwmon4/name", "nvme\n");
    sys.file("hwmon/hwmon4/temp1_input", "80000\n");
    EXPECT_EQ(read_cpu_temperature(sys.root()), 63.0);

    // Below zero (a cold start outdoors) is a reading too.
    fs::remove_all(sys.root() + "/sys/class/hwmon");
    sys.file("hwmon/hwmon0/name", "k10temp\n");
    sys.file("hwmon/hwmon0/temp1_input", "-5000\n");
    EXPECT_EQ(read_cpu_temperature(sys.root()), -5.0);
}
