#include "app/hash_rates.hpp"

#include <numeric>
#include <utility>

namespace nolu::qxt {

HashRates::HashRates(std::vector<std::uint64_t> per_thread)
    : threads_(per_thread.size()),
      previous_total_(std::accumulate(per_thread.begin(), per_thread.end(), std::uint64_t{0})),
      previous_threads_(std::move(per_thread)) {}

void HashRates::sample(const std::vector<std::uint64_t>& per_thread) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        const std::uint64_t now = i < per_thread.size() ? per_thread[i] : previous_threads_[i];
        threads_[i].sample(now - previous_threads_[i]);
        previous_threads_[i] = now;
        total += now;
    }
    total_.sample(total - previous_total_);
    previous_total_ = total;
}

}  // namespace nolu::qxt
