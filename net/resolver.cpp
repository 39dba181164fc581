#include "net/resolver.hpp"

#include <algorithm>
#include <atomic>
#include <fstream>

#include "net/dns_client.hpp"
#include "net/dns_message.hpp"
#include "net/hosts_file.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

// A hosts file of blocking lists can be large; beyond this it is cut.
constexpr std::size_t max_hosts_bytes = 16u << 20;
constexpr std::size_t max_resolv_conf_bytes = 64u << 10;

std::string read_text(const std::string& root, const char* relative, std::size_t cap) {
    std::string path = root.empty() ? "/" : root;
    if (path.back() != '/') path.push_back('/');
    path += relative;
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (!in) return text;
    char chunk[65536];
    while (text.size() < cap) {
        in.read(chunk, sizeof chunk);
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        text.append(chunk, std::min(got, cap - text.size()));
    }
    return text;
}

// RFC 6761: "localhost" and every name below it are the loopback host,
// whatever the hosts file and the DNS say.
bool is_localhost(const std::string& name) {
    static const std::string suffix = ".localhost";
    return name == "localhost" ||
           (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
}

// Control bytes, blanks and the like cannot be in a name worth asking for.
bool plausible_name(std::string_view name) {
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F || c == '/' || c == '\\') return false;
    }
    return true;
}

Lookup ask_dns(const std::string& name, const ResolverSettings& settings) {
    const ResolvConf conf =
        parse_resolv_conf(read_text(settings.root, "etc/resolv.conf", max_resolv_conf_bytes));
    const Clock::time_point give_up = Clock::now() + settings.budget;
    const std::chrono::milliseconds timeout = std::chrono::seconds(conf.timeout_s);
    static std::atomic<unsigned> rotation{0};
    const std::size_t first = conf.rotate ? rotation.fetch_add(1) % conf.nameservers.size() : 0;

    for (const std::string& candidate : search_candidates(name, conf)) {
        const std::optional<std::string> wire = dns_wire_name(candidate);
        if (!wire) continue;
        bool timed_out = false, failed = false;
        bool settled = false;  // a server said this name has no address
        for (int attempt = 0; attempt < conf.attempts && !settled; ++attempt) {
            for (std::size_t i = 0; i < conf.nameservers.size() && !settled; ++i) {
                if (Clock::now() >= give_up) return LookupError{LookupError::Kind::timed_out};
                const IpAddress& server = conf.nameservers[(first + i) % conf.nameservers.size()];
                const ServerAnswer answer = ask_name_server(server, settings.dns_port, *wire, timeout, conf.use_tcp);
                switch (answer.kind) {
                    case ServerAnswer::Kind::addresses:
                        return answer.addresses;
                    case ServerAnswer::Kind::no_such_name:
                    case ServerAnswer::Kind::no_data:
                        settled = true;
                        break;
                    case ServerAnswer::Kind::failure:
                        failed = true;
                        break;
                    case ServerAnswer::Kind::timed_out:
                        timed_out = true;
                        break;
                }
            }
        }
        if (!settled) {
            // No server could say: asking them about the next candidate
            // would only cost the same time again.
            return LookupError{timed_out || !failed ? LookupError::Kind::timed_out : LookupError::Kind::failed};
        }
    }
    return LookupError{LookupError::Kind::not_found};
}

}  // namespace

const char* lookup_error_text(LookupError error) {
    switch (error.kind) {
        case LookupError::Kind::not_found:
            return "name not found";
        case LookupError::Kind::timed_out:
            return "name lookup timed out";
        case LookupError::Kind::failed:
            return "name lookup failed";
    }
    return "name lookup failed";
}

std::vector<std::string> search_candidates(std::string_view name, const ResolvConf& conf) {
    std::vector<std::string> out;
    if (name.empty()) return out;
    if (name.back() == '.') {
        out.emplace_back(name);
        return out;
    }
    int dots = 0;
    for (const char c : name) dots += c == '.' ? 1 : 0;
    if (dots >= conf.ndots) out.emplace_back(name);
    for (const std::string& domain : conf.search) out.push_back(std::string(name) + "." + domain);
    if (dots < conf.ndots) out.emplace_back(name);
    return out;
}

Lookup resolve_host(std::string_view host, const ResolverSettings& settings) {
    if (const std::optional<IpAddress> literal = parse_ip_literal(host)) return std::vector<IpAddress>{*literal};
    const std::string name = normal_host_name(host);
    if (name.empty() || !plausible_name(name) || name.front() == '.' || name.front() == '[')
        return LookupError{LookupError::Kind::not_found};

    std::vector<IpAddress> listed = hosts_lookup(read_text(settings.root, "etc/hosts", max_hosts_bytes), name);
    if (!listed.empty()) return listed;
    if (is_localhost(name)) return std::vector<IpAddress>{ipv4(127, 0, 0, 1), ipv6_loopback()};
    return ask_dns(std::string(host.back() == '.' ? name + "." : name), settings);
}

}  // namespace nolu::qxt
