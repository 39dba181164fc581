#include "app/thermal.hpp"

#include <cstdio>

#include "host/temperature.hpp"

namespace nolu::qxt {

namespace {

std::string degrees(double celsius) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f °C", celsius);
    return text;
}

}  // namespace

ThermalLimit::Change ThermalLimit::reading(std::optional<double> celsius) {
    if (!celsius) return Change::none;
    if (!hot_ && *celsius >= limit_c_) {
        hot_ = true;
        return Change::pause;
    }
    if (hot_ && *celsius <= limit_c_ - thermal_resume_margin) {
        hot_ = false;
        return Change::resume;
    }
    return Change::none;
}

std::string ThermalLimit::line(Change change, double celsius) const {
    if (change == Change::pause)
        return "CPU at " + degrees(celsius) + ", limit " + degrees(limit_c_) + ": hashing paused until " +
               degrees(limit_c_ - thermal_resume_margin);
    return "CPU cooled to " + degrees(celsius) + ": hashing resumed";
}

Outcome<Done> check_thermal_sensor(int max_temp, const std::string& root) {
    if (max_temp <= 0 || read_cpu_temperature(root)) return Done{};
    return command_line_failure("--max-temp " + std::to_string(max_temp) +
                                ": no CPU temperature sensor (hwmon coretemp, k10temp or zenpower, or an "
                                "x86_pkg_temp thermal zone, under /sys/class); load its driver or leave "
                                "--max-temp out");
}

}  // namespace nolu::qxt
