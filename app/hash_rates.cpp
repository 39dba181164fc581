#include "app/hash_rates.hpp"

#include <utility>

namespace nolu::qxt {

HashRates::HashRates(std::uint64_t total, std::vector<std::uint64_t> per_thread)
    : threads_(per_thread.size()), previous_total_(total), previous_threads_(std::move(per_thread)) {}

void HashRates::sample(std::uint64_t total, const std::vector<std::uint64_t>& per_thread) {
    total_.sample(total - previous_total_);
    previous_total_ = total;
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        const std::uint64_t now = i < per_thread.size() ? per_thread[i] : previous_threads_[i];
        threads_[i].sample(now - previous_threads_[i]);
        previous_threads_[i] = now;
    }
}

}  // namespace nolu::qxt
