#include "pool/notice_limit.hpp"

namespace nolu::qxt {

bool NoticeLimit::admit(std::uint64_t now_ns) {
    if (!started_ || over(now_ns)) {
        started_ = true;
        window_start_ = now_ns;
        shown_ = 0;
    }
    if (shown_ < per_window) {
        ++shown_;
        return true;
    }
    ++dropped_;
    return false;
}

std::uint64_t NoticeLimit::dropped_once_over(std::uint64_t now_ns) {
    if (dropped_ == 0 || !over(now_ns)) return 0;
    const std::uint64_t n = dropped_;
    dropped_ = 0;
    return n;
}

}  // namespace nolu::qxt
