// The processor's temperature from the kernel's hwmon chips: Intel's
// coretemp, AMD's k10temp or zenpower.
#pragma once

#include <optional>
#include <string>

namespace nolu::qxt {

// The hottest temp*_input of those chips below root ("/" on a real system:
// /sys/class/hwmon/hwmon*/), in °C; nothing when no such chip gives a reading.
std::optional<double> read_cpu_temperature(const std::string& root = "/");

}  // namespace nolu::qxt
