// Walking a configuration file's text line by line.
#pragma once

#include <cstddef>
#include <string_view>

namespace nolu::qxt {

// The line that starts at `at` (without its '\n'; the last line may lack
// one), moving `at` past it. Call while at < text.size().
inline std::string_view next_line(std::string_view text, std::size_t& at) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    return line;
}

}  // namespace nolu::qxt
