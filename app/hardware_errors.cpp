#include "app/hardware_errors.hpp"

#include "console/console.hpp"

namespace nolu::qxt {

void record_hardware_error(ShareCounters& shares, int thread, const Job& job, std::uint64_t nonce) {
    shares.hw_errors.fetch_add(1);
    log_line(colours.red, "hw   ",
             "thread " + std::to_string(thread) + ": nonce " + std::to_string(nonce) + " of job " + job.job_id +
                 " hashed twice with different results — share withheld (hardware error)");
}

std::string hardware_error_suffix(std::uint64_t hw_errors) {
    return hw_errors == 0 ? std::string() : "   hw " + std::to_string(hw_errors);
}

bool HardwareErrorWatch::tick(std::uint64_t now_s, std::uint64_t total) {
    // Errors that arrived since the last tick all count at this second.
    for (; seen_ < total; ++seen_) newest_[seen_ % limit] = now_s;
    if (seen_ < limit) return false;
    const std::uint64_t oldest = newest_[seen_ % limit];  // the limit-th newest error
    if (now_s - oldest >= window_s) return false;
    if (warned_ && now_s - warned_at_ < window_s) return false;
    warned_ = true;
    warned_at_ = now_s;
    return true;
}

std::string unstable_machine_warning() {
    return std::to_string(HardwareErrorWatch::limit) +
           " or more hardware errors within an hour: this machine computes wrong hashes — its processor or memory "
           "is unstable (overclock, undervolt, heat); lower the overclock or check the cooling";
}

}  // namespace nolu::qxt
