#include "common/clock.hpp"

#include <time.h>

#include <cerrno>

namespace nolu::qxt {

std::uint64_t steady_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(now.tv_nsec);
}

void sleep_ns(std::uint64_t ns) {
    timespec left{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace nolu::qxt
