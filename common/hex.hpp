// Hexadecimal text: either case in, lower case out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nolu::qxt {

// The value of one hexadecimal digit, or -1.
int hex_digit(char c);

// Decodes exactly 2 * n digits into out[0..n); false (out untouched) when the
// text has another length or holds a character that is not a digit.
bool hex_decode(std::string_view text, std::uint8_t* out, std::size_t n);

// Lower-case digits, byte 0 first, high nibble first.
std::string hex_encode(const std::uint8_t* bytes, std::size_t n);

}  // namespace nolu::qxt
