#include "net/hosts_file.hpp"

#include <algorithm>
#include <string>

#include "common/text_lines.hpp"

namespace nolu::qxt {

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The next blank-separated field of line from at, or an empty view at the end.
std::string_view next_field(std::string_view line, std::size_t& at) {
    while (at < line.size() && blank(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !blank(line[at])) ++at;
    return line.substr(start, at - start);
}

}  // namespace

std::string normal_host_name(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    std::string out(name);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::vector<IpAddress> hosts_lookup(std::string_view text, std::string_view name) {
    const std::string wanted = normal_host_name(name);
    std::vector<IpAddress> found;
    if (wanted.empty()) return found;
    for (std::size_t line_at = 0; line_at < text.size();) {
        std::string_view line = next_line(text, line_at);
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);

        std::size_t at = 0;
        const std::string_view address_text = next_field(line, at);
        if (address_text.empty() || address_text.front() == '[') continue;
        const std::optional<IpAddress> address = parse_ip_literal(address_text);
        if (!address) continue;
        for (std::string_view field = next_field(line, at); !field.empty(); field = next_field(line, at)) {
            if (normal_host_name(field) != wanted) continue;
            if (std::find(found.begin(), found.end(), *address) == found.end()) found.push_back(*address);
            break;
        }
    }
    return found;
}

}  // namespace nolu::qxt
