// Text from outside (a pool, a settings file, a records file) made fit for
// one terminal line: control bytes (C0, DEL and the UTF-8 encoded C1 range)
// would let the sender move the cursor, rewrite earlier lines or forge
// console lines, so each becomes a '?'. Printable text, UTF-8 included,
// passes unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nolu::qxt {

// The text cleaned as above; longer than max_bytes, it is cut there (never
// inside a UTF-8 sequence) and "..." marks the cut.
std::string printable(std::string_view text, std::size_t max_bytes = std::string_view::npos);

}  // namespace nolu::qxt
