// Numbers read from outside text in plain decimal digits.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace nolu::qxt {

// A number written in decimal digits only (no sign, no blanks, leading zeros
// allowed), at most max; nothing for an empty text, any other character or
// a value above max (never a wrapped one).
std::optional<std::uint64_t> parse_decimal(std::string_view text,
                                           std::uint64_t max = std::numeric_limits<std::uint64_t>::max());

}  // namespace nolu::qxt
