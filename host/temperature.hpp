// The processor's temperature from the kernel's sensors, read below a root
// folder ("/" on a real system) so tests can hand in a fake /sys tree.
#pragma once

#include <optional>
#include <string>

namespace nolu::qxt {

// The hottest temp*_input of the processor's hwmon chips (Intel coretemp,
// AMD k10temp or zenpower) in degrees Celsius; without such a chip, the
// hottest x86_pkg_temp thermal zone; nothing when neither gives a reading.
// The same sensors, in the same order, as the HiveOS stats script.
std::optional<double> read_cpu_temperature(const std::string& root = "/");

// The root the miner reads its sensors below: $QXT_SENSOR_ROOT when set and
// not empty (the tests point it at a fake tree), else "/". Start-up reads it
// once and passes the result on.
std::string sensor_root_from_environment();

}  // namespace nolu::qxt
