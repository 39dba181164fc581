// UTF-8 text from bytes of unknown origin (a worker name typed in another
// locale): readers such as a metrics scraper refuse the whole document over
// one bad byte.
#pragma once

#include <string>
#include <string_view>

namespace nolu::qxt {

// The text with every byte that does not begin a well-formed UTF-8 sequence
// (stray continuation bytes, overlong forms, surrogates, code points past
// U+10FFFF, cut-off sequences) replaced by U+FFFD; valid text comes back unchanged.
std::string valid_utf8(std::string_view text);

}  // namespace nolu::qxt
