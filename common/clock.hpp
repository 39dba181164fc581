// The steady clock and sleeps that resume after a signal.
#pragma once

#include <cstdint>

namespace nolu::qxt {

// CLOCK_MONOTONIC in nanoseconds.
std::uint64_t steady_ns();

// Sleeps the whole time, resuming for the remaining time when a signal
// interrupts the sleep.
void sleep_ns(std::uint64_t ns);
inline void sleep_ms(std::uint64_t ms) { sleep_ns(ms * 1000000ull); }

}  // namespace nolu::qxt
