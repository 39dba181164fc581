// How many of a pool's notices reach the console: a pool that sends them by
// the thousand would otherwise fill the journal and the log file.
#pragma once

#include <cstdint>

namespace nolu::qxt {

class NoticeLimit {
public:
    static constexpr std::uint64_t per_window = 10;
    static constexpr std::uint64_t window_ns = 60'000'000'000ull;

    // Whether a notice that came at now_ns is shown: the first per_window of
    // each window are. A window starts with the first notice after the last
    // one ended.
    bool admit(std::uint64_t now_ns);
    // Once the window in which notices were dropped is over: how many were
    // (counted again from 0); before that, and when none were, 0.
    std::uint64_t dropped_once_over(std::uint64_t now_ns);

private:
    bool over(std::uint64_t now_ns) const { return now_ns - window_start_ >= window_ns; }

    bool started_ = false;
    std::uint64_t window_start_ = 0;
    std::uint64_t shown_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace nolu::qxt
