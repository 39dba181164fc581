// Text from outside the machine (a pool's notices, reject reasons and job
// ids) on its way to the console and the log file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nolu::qxt {

// The most bytes of such a text a console line carries.
inline constexpr std::size_t outside_text_limit = 200;

// The text with every control byte (C0, DEL and the UTF-8 encoded C1 range,
// which would let a sender move the cursor, rewrite earlier lines or forge
// console lines) turned into '?', cut after at most `limit` bytes on a UTF-8
// character boundary and then marked "… (N bytes)" with its whole length.
// Printable text within the limit, UTF-8 included, passes unchanged.
std::string console_safe(std::string_view text, std::size_t limit = outside_text_limit);

}  // namespace nolu::qxt
