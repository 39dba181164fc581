// Hardware errors: shares whose second computation gave another tag. Each one
// is counted (next to the share counters) and logged; the speed line shows
// the count once there is one; errors that keep coming warn that the machine
// is unstable.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "status/stats.hpp"
#include "pool/job.hpp"

namespace nolu::qxt {

// Counts one error and logs it in red, tag "hw   ", with the thread, the
// job and the nonce of the share that was withheld.
void record_hardware_error(ShareCounters& shares, int thread, const Job& job, std::uint64_t nonce);

// "" without errors (the speed line stays as it always was), else "   hw N".
std::string hardware_error_suffix(std::uint64_t hw_errors);

// Watches the error count over a sliding hour. One error can be a one-off (a
// particle strike, a voltage dip); three within an hour point to a processor
// or memory that keeps computing wrong, and warn. The warning repeats at most
// once an hour while errors keep coming.
class HardwareErrorWatch {
public:
    static constexpr std::uint64_t window_s = 3600;
    static constexpr std::size_t limit = 3;

    // Called once a second with the steady-clock second and the total count;
    // true when the warning is due now.
    bool tick(std::uint64_t now_s, std::uint64_t total);

private:
    std::array<std::uint64_t, limit> newest_{};  // seconds of the last `limit` errors, a ring
    std::uint64_t seen_ = 0;                     // errors counted so far
    std::uint64_t warned_at_ = 0;
    bool warned_ = false;
};

// The red warning.
std::string unstable_machine_warning();

}  // namespace nolu::qxt
