#include "pool/url.hpp"

#include <cerrno>
#include <cstdlib>

#include "net/host_port.hpp"
#include "net/tls.hpp"

namespace nolu::qxt {

namespace {

struct Scheme {
    const char* name;
    bool tls;
};

constexpr Scheme schemes[] = {
    {"stratum+tcp", false}, {"tcp", false},         {"stratum+ssl", true}, {"stratum+tls", true},
    {"stratum+tcps", true}, {"ssl", true},          {"tls", true},
};

bool same_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The leading digits as the command line has always read them.
Expected<std::uint16_t> lenient_port(std::string_view text) {
    const std::string digits(text);
    errno = 0;
    const long port = std::strtol(digits.c_str(), nullptr, 10);
    if (port < 0 || port > 65535 || errno == ERANGE) return fail("port " + digits + " is out of range (0 to 65535)");
    return static_cast<std::uint16_t>(port);
}

Status pin(std::vector<Endpoint>& pools, const std::string& given) {
    const std::size_t equals = given.rfind('=');
    const std::string digits = equals == std::string::npos ? given : given.substr(equals + 1);
    const std::optional<std::string> fingerprint = normal_fingerprint(digits);
    if (!fingerprint)
        return fail("--tls-fingerprint " + given + ": give the SHA-256 fingerprint as 64 hexadecimal digits");
    if (equals == std::string::npos) {
        pools.front().fingerprint = *fingerprint;
        return success();
    }
    const Expected<Endpoint> named = split_pool(given.substr(0, equals));
    bool found = false;
    for (Endpoint& pool : pools) {
        if (!named || pool.host != named->host || pool.port != named->port) continue;
        pool.fingerprint = *fingerprint;
        found = true;
    }
    if (!found) return fail("--tls-fingerprint " + given + ": " + given.substr(0, equals) + " is none of the pools");
    return success();
}

// "pool port 70000 is out of range (0 to 65535)", "pool foo://h:1: unknown scheme ...".
std::string address_failure(const std::string& which, const std::string& given, const Error& error) {
    if (error.message.rfind("port ", 0) == 0) return which + " " + error.message;
    return which + " " + given + ": " + error.message;
}

}  // namespace

Expected<Endpoint> split_pool(std::string_view text, bool tls_default) {
    Endpoint endpoint;
    endpoint.tls = tls_default;
    if (const std::size_t mark = text.find("://"); mark != std::string_view::npos) {
        const std::string_view name = text.substr(0, mark);
        const Scheme* known = nullptr;
        for (const Scheme& scheme : schemes)
            if (same_ascii_case(name, scheme.name)) known = &scheme;
        if (known == nullptr)
            return fail("unknown scheme \"" + std::string(name) + "://\" (plain: stratum+tcp://, tcp://; TLS: "
                        "stratum+ssl://, stratum+tls://, stratum+tcps://, ssl://, tls://)");
        endpoint.tls = known->tls;
        text.remove_prefix(mark + 3);
        if (!text.empty() && text.back() == '/') text.remove_suffix(1);
    }
    if (text.find('/') != std::string_view::npos) return fail("\"" + std::string(text) + "\" is not host:port");
    const Expected<HostPortText> parts = split_host_port(text);
    if (!parts) {
        // Not an address in brackets: the last colon decides, as always.
        const std::size_t colon = text.rfind(':');
        endpoint.host = std::string(text.substr(0, colon));
        if (colon == std::string_view::npos) return endpoint;
        const Expected<std::uint16_t> port = lenient_port(text.substr(colon + 1));
        if (!port) return port.error();
        endpoint.port = *port;
        return endpoint;
    }
    endpoint.host = parts->bracketed ? "[" + std::string(parts->host) + "]" : std::string(parts->host);
    if (!parts->port) return endpoint;
    const Expected<std::uint16_t> port = lenient_port(*parts->port);
    if (!port) return port.error();
    endpoint.port = *port;
    return endpoint;
}

Expected<std::vector<Endpoint>> pool_list(const std::string& pool, const std::vector<std::string>& backups,
                                          bool tls_default, const std::vector<std::string>& fingerprints) {
    std::vector<Endpoint> out;
    const Expected<Endpoint> primary = split_pool(pool, tls_default);
    if (!primary) return fail(address_failure("pool", pool, primary.error()));
    out.push_back(*primary);
    for (const std::string& backup : backups) {
        const Expected<Endpoint> endpoint = split_pool(backup, tls_default);
        if (!endpoint) return fail(address_failure("backup pool", backup, endpoint.error()));
        out.push_back(*endpoint);
    }
    for (const std::string& fingerprint : fingerprints)
        if (const Status pinned = pin(out, fingerprint); !pinned) return pinned.error();
    return out;
}

}  // namespace nolu::qxt
