#include "net/host_port.hpp"

#include "common/decimal.hpp"

namespace nolu::qxt {

Expected<HostPortText> split_host_port(std::string_view text) {
    HostPortText out;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return fail("a '[' without its ']'");
        out.host = text.substr(1, close - 1);
        out.bracketed = true;
        if (close + 1 == text.size()) return out;
        if (text[close + 1] != ':') return fail("only \":port\" may follow ']'");
        out.port = text.substr(close + 2);
        return out;
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        out.host = text;
        return out;
    }
    out.host = text.substr(0, colon);
    out.port = text.substr(colon + 1);
    return out;
}

std::optional<std::uint16_t> parse_port(std::string_view digits) {
    const std::optional<std::uint64_t> value = parse_decimal(digits, 65535);
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

}  // namespace nolu::qxt
