#include "net/http/request.hpp"

#include <optional>
#include <utility>
#include <vector>

namespace nolu::qxt {

namespace {

bool is_tchar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view s) {
    if (s.empty()) return false;
    for (const char c : s)
        if (!is_tchar(c)) return false;
    return true;
}

// A field value's bytes: blanks, visible ASCII and anything above 0x7F.
bool is_field_value(std::string_view s) {
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b != '\t' && (b < 0x20 || b == 0x7F)) return false;
    }
    return true;
}

bool same_word(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The path of a request target, or nothing for a target that is none of a
// path, an absolute http(s) URL or "*".
std::optional<std::string> target_path(std::string_view target) {
    for (const char c : target)
        if (c <= 0x20 || c >= 0x7F) return std::nullopt;
    if (target == "*") return std::string(target);
    std::string_view rest;
    if (!target.empty() && target.front() == '/') {
        rest = target;
    } else {
        std::size_t scheme = 0;
        if (target.size() > 7 && same_word(target.substr(0, 7), "http://")) scheme = 7;
        if (target.size() > 8 && same_word(target.substr(0, 8), "https://")) scheme = 8;
        if (scheme == 0) return std::nullopt;
        const std::string_view after = target.substr(scheme);
        const std::size_t end = after.find_first_of("/?#");
        if (end == 0) return std::nullopt;  // no authority
        rest = end == std::string_view::npos ? std::string_view("/") : after.substr(end);
        if (rest.front() != '/') rest = "/";
    }
    return std::string(rest.substr(0, rest.find_first_of("?#")));
}

HttpParse parse_request_line(std::string_view line, HttpRequest& out, bool& http11) {
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return HttpParse::bad;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
        return HttpParse::bad;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    std::optional<std::string> path = target_path(target);
    if (!is_token(method) || !path) return HttpParse::bad;
    if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." || version[7] < '0' || version[7] > '9')
        return HttpParse::bad;
    out.method = std::string(method);
    out.path = std::move(*path);
    http11 = version[7] != '0';
    return HttpParse::complete;
}

HttpParse parse_head(const std::vector<std::string_view>& lines, HttpRequest& out) {
    bool http11 = false;
    if (parse_request_line(lines.front(), out, http11) != HttpParse::complete) return HttpParse::bad;
    int hosts = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !is_token(line.substr(0, colon))) return HttpParse::bad;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trim_blanks(line.substr(colon + 1));
        if (!is_field_value(value)) return HttpParse::bad;
        if (same_word(name, "host")) ++hosts;
        if (same_word(name, "authorization")) {
            if (out.has_authorization) return HttpParse::bad;
            out.has_authorization = true;
            out.authorization = std::string(value);
        }
    }
    if (hosts > 1 || (http11 && hosts == 0)) return HttpParse::bad;
    return HttpParse::complete;
}

}  // namespace

HttpParse parse_http_request(std::string_view buffer, HttpRequest& out, std::size_t max_head) {
    out = HttpRequest{};
    const std::string_view window = buffer.substr(0, max_head);
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    for (;;) {
        const std::size_t lf = window.find('\n', at);
        if (lf == std::string_view::npos)
            return buffer.size() >= max_head ? HttpParse::too_large : HttpParse::incomplete;
        std::string_view line = window.substr(at, lf - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        at = lf + 1;
        if (line.empty()) {
            if (lines.empty()) continue;  // empty lines before the request line
            break;
        }
        lines.push_back(line);
    }
    const HttpParse result = parse_head(lines, out);
    if (result != HttpParse::complete) out = HttpRequest{};
    return result;
}

}  // namespace nolu::qxt
