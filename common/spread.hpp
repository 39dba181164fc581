// The figures a set of timed rounds is reported by.
#pragma once

#include <vector>

namespace nolu::qxt {

struct Spread {
    double median = 0, low = 0, high = 0;
};

// The median (the mean of the middle two for an even count), the lowest and
// the highest value; all 0 for none.
Spread spread_of(std::vector<double> values);

}  // namespace nolu::qxt
