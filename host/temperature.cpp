#include "host/temperature.hpp"

#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

namespace nolu::qxt {

namespace {

namespace fs = std::filesystem;

bool processor_chip(const fs::path& hwmon) {
    std::string name;
    std::ifstream(hwmon / "name") >> name;
    return name == "coretemp" || name == "k10temp" || name == "zenpower";
}

// The hottest of the chip's temp*_input files (millidegrees), if any.
std::optional<double> hottest_input(const fs::path& hwmon) {
    std::optional<double> best;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(hwmon, error)) {
        const std::string file = entry.path().filename().string();
        if (file.rfind("temp", 0) != 0 || !file.ends_with("_input")) continue;
        long long millidegrees = 0;
        if (!(std::ifstream(entry.path()) >> millidegrees)) continue;
        const double celsius = static_cast<double>(millidegrees) / 1000.0;
        if (!best || celsius > *best) best = celsius;
    }
    return best;
}

}  // namespace

std::optional<double> read_cpu_temperature(const std::string& root) {
    std::optional<double> best;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(root) / "sys/class/hwmon", error)) {
        if (!processor_chip(entry.path())) continue;
        const std::optional<double> chip = hottest_input(entry.path());
        if (chip && (!best || *chip > *best)) best = chip;
    }
    return best;
}

}  // namespace nolu::qxt
