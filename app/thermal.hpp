// The thermal limit (--max-temp): hashing pauses when the processor reaches
// the limit and resumes once it has cooled 5 °C below it, so that a rig at
// its limit does not start and stop every second.
#pragma once

#include <optional>
#include <string>

#include "console/failure.hpp"

namespace nolu::qxt {

inline constexpr double thermal_resume_margin = 5.0;

class ThermalLimit {
public:
    enum class Change { none, pause, resume };

    explicit ThermalLimit(double limit_c) : limit_c_(limit_c) {}

    // One reading; a missing one changes nothing (the state holds).
    Change reading(std::optional<double> celsius);
    bool hot() const { return hot_; }
    double limit() const { return limit_c_; }

    // The console line for a change at that temperature.
    std::string line(Change change, double celsius) const;

private:
    double limit_c_;
    bool hot_ = false;
};

// With a limit (--max-temp above 0), the processor's temperature must be
// readable below root: a limit that can never act would be a silent no-op
// (status 2, naming the sensors looked for).
Outcome<Done> check_thermal_sensor(int max_temp, const std::string& root);

}  // namespace nolu::qxt
