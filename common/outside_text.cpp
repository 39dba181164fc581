#include "common/outside_text.hpp"

namespace nolu::qxt {

namespace {

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::string console_safe(std::string_view text, std::size_t limit) {
    std::size_t end = text.size();
    if (end > limit) {
        end = limit;
        while (end > 0 && continuation(static_cast<unsigned char>(text[end]))) --end;
    }
    std::string out;
    out.reserve(end + 24);
    for (std::size_t i = 0; i < end; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x20 || b == 0x7F) {
            out.push_back('?');
        } else if (b == 0xC2 && i + 1 < end && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out.push_back('?');
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    if (end < text.size()) out += "\xE2\x80\xA6 (" + std::to_string(text.size()) + " bytes)";
    return out;
}

}  // namespace nolu::qxt
