#include "common/printable.hpp"

namespace nolu::qxt {

namespace {

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::string printable(std::string_view text, std::size_t max_bytes) {
    std::size_t end = text.size();
    if (end > max_bytes) {
        end = max_bytes;
        while (end > 0 && continuation(static_cast<unsigned char>(text[end]))) --end;
    }
    std::string out;
    out.reserve(end + 3);
    for (std::size_t i = 0; i < end; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        const bool c1 = b == 0xC2 && i + 1 < end && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (b < 0x20 || b == 0x7F || c1) {
            out.push_back('?');
            if (c1) ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    if (end < text.size()) out += "...";
    return out;
}

}  // namespace nolu::qxt
