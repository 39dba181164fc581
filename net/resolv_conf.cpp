#include "net/resolv_conf.hpp"

#include <algorithm>

#include "net/hosts_file.hpp"
#include "common/text_lines.hpp"

namespace nolu::qxt {

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && blank(line[at])) ++at;
        const std::size_t start = at;
        while (at < line.size() && !blank(line[at])) ++at;
        if (at > start) fields.push_back(line.substr(start, at - start));
    }
    return fields;
}

// "name:N" options: the number, clamped to [low, high]; unchanged when the
// value is not a number.
void number_option(std::string_view option, std::string_view name, int low, int high, int& value) {
    if (option.size() <= name.size() || option.substr(0, name.size()) != name) return;
    long long n = 0;
    for (const char c : option.substr(name.size())) {
        if (c < '0' || c > '9') return;
        n = std::min<long long>(n * 10 + (c - '0'), 1000000);
    }
    value = static_cast<int>(std::clamp<long long>(n, low, high));
}

void read_options(const std::vector<std::string_view>& fields, ResolvConf& conf) {
    for (std::size_t i = 1; i < fields.size(); ++i) {
        const std::string_view option = fields[i];
        number_option(option, "ndots:", 0, 15, conf.ndots);
        number_option(option, "timeout:", 1, 30, conf.timeout_s);
        number_option(option, "attempts:", 1, 5, conf.attempts);
        if (option == "rotate") conf.rotate = true;
        if (option == "use-vc" || option == "usevc") conf.use_tcp = true;
    }
}

void read_search(const std::vector<std::string_view>& fields, ResolvConf& conf) {
    conf.search.clear();
    for (std::size_t i = 1; i < fields.size() && conf.search.size() < resolv_max_search; ++i) {
        std::string domain = normal_host_name(fields[i]);
        // A domain that would make an over-long name on its own is of no use.
        if (domain.empty() || domain.size() > 253) continue;
        conf.search.push_back(std::move(domain));
    }
}

}  // namespace

ResolvConf parse_resolv_conf(std::string_view text) {
    ResolvConf conf;
    for (std::size_t line_at = 0; line_at < text.size();) {
        std::string_view line = next_line(text, line_at);
        if (const std::size_t comment = line.find_first_of("#;"); comment != std::string_view::npos)
            line = line.substr(0, comment);
        const std::vector<std::string_view> fields = fields_of(line);
        if (fields.empty()) continue;
        const std::string_view keyword = fields[0];
        if (keyword == "nameserver" && fields.size() >= 2) {
            if (conf.nameservers.size() >= resolv_max_nameservers) continue;
            // Brackets are not part of this file's syntax.
            if (fields[1].front() == '[') continue;
            if (const std::optional<IpAddress> server = parse_ip_literal(fields[1])) conf.nameservers.push_back(*server);
        } else if (keyword == "search") {
            read_search(fields, conf);
        } else if (keyword == "domain") {
            // One domain; like "search", the later line wins.
            read_search({fields.begin(), fields.begin() + std::min<std::size_t>(fields.size(), 2)}, conf);
        } else if (keyword == "options") {
            read_options(fields, conf);
        }
    }
    if (conf.nameservers.empty()) conf.nameservers.push_back(ipv4(127, 0, 0, 1));
    return conf;
}

}  // namespace nolu::qxt
