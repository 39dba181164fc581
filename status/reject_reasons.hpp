// Why the pool rejected a share, as a few known reasons: the pool's own text
// varies from pool to pool, the metrics need a label set that stays small.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace nolu::qxt {

enum class RejectReason : std::size_t { stale, duplicate, low_difficulty, invalid, other };

inline constexpr std::size_t reject_reason_count = 5;

// "stale", "duplicate", "low_difficulty", "invalid", "other": in enum order.
inline constexpr std::array<std::string_view, reject_reason_count> reject_reason_names = {
    "stale", "duplicate", "low_difficulty", "invalid", "other"};

// The reason a pool's rejection text names, by words pools use for it
// ("stale share", "unknown job", "duplicate share", "low difficulty share",
// "invalid nonce", ...), case ignored; anything else is "other".
RejectReason classify_reject(std::string_view pool_text);

}  // namespace nolu::qxt
