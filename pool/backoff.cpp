#include "pool/backoff.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <utility>

namespace nolu::qxt {

Backoff::Backoff(JitterFn jitter) : jitter_(std::move(jitter)) {}

BackoffWait Backoff::next() {
    double u = jitter_ ? jitter_() : 0.5;
    if (!(u >= 0.0 && u < 1.0)) u = 0.5;  // a source out of its range (or NaN) gets no say
    const double factor = 0.8 + 0.4 * u;
    BackoffWait wait;
    wait.tenths = std::lround(step_s_ * 10 * factor);
    wait.seconds = std::lround(wait.tenths / 10.0);
    step_s_ = std::min(step_s_ * 2, last_s);
    return wait;
}

JitterFn system_jitter() {
    auto generator = std::make_shared<std::mt19937_64>(std::random_device{}());
    return [generator] { return std::uniform_real_distribution<double>(0.0, 1.0)(*generator); };
}

}  // namespace nolu::qxt
