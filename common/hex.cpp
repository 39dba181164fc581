#include "common/hex.hpp"

#include <cstring>

namespace nolu::qxt {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hex_decode(std::string_view text, std::uint8_t* out, std::size_t n) {
    if (text.size() != 2 * n) return false;
    for (char c : text)
        if (hex_digit(c) < 0) return false;
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(hex_digit(text[2 * i]) << 4 | hex_digit(text[2 * i + 1]));
    return true;
}

std::string hex_encode(const std::uint8_t* bytes, std::size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(2 * n, '0');
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace nolu::qxt
