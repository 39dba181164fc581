#include "common/spread.hpp"

#include <algorithm>

namespace nolu::qxt {

Spread spread_of(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    s.median = n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
    s.low = values.front();
    s.high = values.back();
    return s;
}

}  // namespace nolu::qxt
