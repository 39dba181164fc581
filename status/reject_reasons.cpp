#include "status/reject_reasons.hpp"

#include <initializer_list>
#include <string>

namespace nolu::qxt {

namespace {

bool mentions(const std::string& text, std::initializer_list<std::string_view> words) {
    for (const std::string_view word : words)
        if (text.find(word) != std::string::npos) return true;
    return false;
}

}  // namespace

RejectReason classify_reject(std::string_view pool_text) {
    std::string text(pool_text);
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    // A job the pool no longer (or never) knew: the share came too late.
    if (mentions(text, {"stale", "unknown job", "job not found", "expired", "old job", "outdated"}))
        return RejectReason::stale;
    if (mentions(text, {"duplicate", "already"})) return RejectReason::duplicate;
    if (mentions(text, {"low difficulty", "low diff", "low-diff", "low_diff", "above target", "high-hash",
                        "high hash"}))
        return RejectReason::low_difficulty;
    if (mentions(text, {"invalid", "bad ", "bad_", "wrong", "mismatch", "malformed"})) return RejectReason::invalid;
    return RejectReason::other;
}

}  // namespace nolu::qxt
