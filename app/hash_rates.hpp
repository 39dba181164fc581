// The rate rings of one run: the miner's total and one per mining thread,
// fed once a second with readings of the hash counters.
#pragma once

#include <cstdint>
#include <vector>

#include "status/stats.hpp"

namespace nolu::qxt {

class HashRates {
public:
    // The threads' counters when sampling begins.
    explicit HashRates(std::vector<std::uint64_t> per_thread);

    // Stores the hashes of the second that just ended: the readings minus
    // the previous ones. A thread missing from per_thread counts 0. The total
    // is the sum of the threads' readings, so the two always agree.
    void sample(const std::vector<std::uint64_t>& per_thread);

    const RateRing& total() const { return total_; }
    const RateRing& thread(std::size_t index) const { return threads_[index]; }
    std::size_t thread_count() const { return threads_.size(); }
    // The latest readings.
    std::uint64_t total_hashes() const { return previous_total_; }
    std::uint64_t thread_hashes(std::size_t index) const { return previous_threads_[index]; }

private:
    RateRing total_;
    std::vector<RateRing> threads_;
    std::uint64_t previous_total_;
    std::vector<std::uint64_t> previous_threads_;
};

}  // namespace nolu::qxt
