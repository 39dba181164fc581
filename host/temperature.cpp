#include "host/temperature.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>
#include <system_error>

#include "common/decimal.hpp"

namespace nolu::qxt {

namespace {

namespace fs = std::filesystem;

std::string first_line(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A sensor file's millidegrees ("-5000", "48250\n") in degrees.
std::optional<double> millidegrees(const fs::path& file) {
    const std::string line = first_line(file);
    std::string_view text = line;
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    const std::optional<std::uint64_t> value = parse_decimal(text, 1000000000);
    if (!value) return std::nullopt;
    const double degrees = static_cast<double>(*value) / 1000.0;
    return negative ? -degrees : degrees;
}

// The entries of dir whose names start with prefix (none when dir is missing).
std::vector<fs::path> entries(const fs::path& dir, std::string_view prefix) {
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        if (it->path().filename().string().starts_with(prefix)) found.push_back(it->path());
    std::sort(found.begin(), found.end());
    return found;
}

void keep_hotter(std::optional<double>& best, std::optional<double> reading) {
    if (reading && (!best || *reading > *best)) best = reading;
}

std::optional<double> hwmon_chips(const fs::path& sys) {
    std::optional<double> best;
    for (const fs::path& chip : entries(sys / "class/hwmon", "hwmon")) {
        const std::string name = first_line(chip / "name");
        if (name != "coretemp" && name != "k10temp" && name != "zenpower") continue;
        for (const fs::path& input : entries(chip, "temp"))
            if (input.filename().string().ends_with("_input")) keep_hotter(best, millidegrees(input));
    }
    return best;
}

std::optional<double> package_zones(const fs::path& sys) {
    std::optional<double> best;
    for (const fs::path& zone : entries(sys / "class/thermal", "thermal_zone"))
        if (first_line(zone / "type") == "x86_pkg_temp") keep_hotter(best, millidegrees(zone / "temp"));
    return best;
}

}  // namespace

std::optional<double> read_cpu_temperature(const std::string& root) {
    const fs::path sys = fs::path(root.empty() ? "/" : root) / "sys";
    if (std::optional<double> chips = hwmon_chips(sys)) return chips;
    return package_zones(sys);
}

std::string sensor_root_from_environment() {
    const char* root = std::getenv("QXT_SENSOR_ROOT");
    return root != nullptr && *root != '\0' ? root : "/";
}

}  // namespace nolu::qxt
