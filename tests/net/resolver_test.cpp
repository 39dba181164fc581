// Name resolution through c-ares without the C library's name service:
// numeric addresses, the hosts file, localhost names, resolv.conf (search,
// options) and whole lookups against a name server on a loopback port (UDP,
// TCP after a truncated reply, CNAMEs, failures and silence).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "fake_dns.hpp"
#include "net/lookups.hpp"
#include "net/resolver.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;

namespace {

IpAddress v6(const char* text) { return *parse_ip_literal(text); }

std::vector<std::string> texts(const std::vector<IpAddress>& addresses) {
    std::vector<std::string> out;
    for (const IpAddress& a : addresses) out.push_back(to_string(a));
    return out;
}

std::vector<std::string> resolved(const std::string& host, const ResolverSettings& settings) {
    const Lookup lookup = resolve_host(host, settings);
    if (!lookup) return {std::string("error: ") + lookup_error_text(lookup.error())};
    return texts(*lookup);
}

}  // namespace

TEST(Resolver, NumericAddresses) {
    EXPECT_EQ(to_string(*parse_ip_literal("192.0.2.7")), "192.0.2.7");
    EXPECT_EQ(to_string(*parse_ip_literal("[::1]")), "::1");
    EXPECT_EQ(to_string(*parse_ip_literal("2001:DB8::1")), "2001:db8::1");
    EXPECT_EQ(to_string(*parse_ip_literal("fe80::1%3")), "fe80::1%3");
    EXPECT_EQ(parse_ip_literal("fe80::1%lo")->scope, parse_ip_literal("fe80::1%1")->scope);
    for (const char* bad : {"", "[]", "1.2.3", "1.2.3.256", "pool.test", "[1.2.3.4", "::1]", "fe80::1%", "::g",
                            "fe80::1%no-such-interface", "1.2.3.4 "})
        EXPECT_FALSE(parse_ip_literal(bad).has_value()) << bad;
    // The pool option's own form for IPv6: the brackets go, the port stays outside.
    EXPECT_EQ(resolved("[::1]", {}), std::vector<std::string>{"::1"});
}

TEST(Resolver, HostsFileThroughCares) {
    FakeRoot root;
    root.write("etc/hosts",
               "# comment line\n"
               "127.0.0.1\tlocalhost\n"
               "192.0.2.1 pool.test alias.test # the pool\n"
               "   \n"
               "not-an-address pool.test\n"
               "2001:db8::5 POOL.Test\n"
               "192.0.2.2 other.test pool.test\n"
               "192.0.2.3 pool.testing\n");
    root.write("etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
    ResolverSettings settings;
    settings.root = root.path();
    settings.dns_port = 1;  // the name server is never needed
    EXPECT_EQ(resolved("pool.test", settings), (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "2001:db8::5"}));
    EXPECT_EQ(resolved("Alias.Test.", settings), std::vector<std::string>{"192.0.2.1"});
}

TEST(Resolver, LocalhostWithoutAHostsFile) {
    FakeRoot root;  // a bare tree: no etc/hosts, no etc/resolv.conf
    ResolverSettings settings;
    settings.root = root.path();
    settings.dns_port = 1;  // nothing may be asked
    const std::vector<std::string> loopback = {"127.0.0.1", "::1"};
    EXPECT_EQ(resolved("localhost", settings), loopback);
    EXPECT_EQ(resolved("LocalHost.", settings), loopback);
    EXPECT_EQ(resolved("rig.localhost", settings), loopback);
    EXPECT_EQ(resolved("127.0.0.1", settings), std::vector<std::string>{"127.0.0.1"});
    // The hosts file, when it has the name, decides.
    root.write("etc/hosts", "127.0.1.1 localhost\n192.0.2.10 pool.test\n");
    EXPECT_EQ(resolved("localhost", settings), std::vector<std::string>{"127.0.1.1"});
    EXPECT_EQ(resolved("pool.test", settings), std::vector<std::string>{"192.0.2.10"});
    EXPECT_EQ(resolved("", settings), std::vector<std::string>{"error: name not found"});
    EXPECT_EQ(resolved("bad name", settings), std::vector<std::string>{"error: name not found"});
}

TEST(Resolver, LookupsAgainstANameServer) {
    FakeDns dns;
    dns.set("pool.test", {{*parse_ip_literal("192.0.2.1"), v6("2001:db8::1"), *parse_ip_literal("192.0.2.2")}, "", false, false});
    dns.set("alias.test", {{}, "edge.cdn.test", false, false});
    dns.set("edge.cdn.test", {{*parse_ip_literal("198.51.100.7")}, "", false, false});
    dns.set("pool.corp.test", {{*parse_ip_literal("203.0.113.5")}, "", false, false});
    dns.set("v6only.test", {{v6("2001:db8::6")}, "", false, false});
    dns.set("empty.test", {{}, "", false, false});
    dns.set("refused.test", {{}, "", false, true});
    FakeRoot root;
    root.write("etc/resolv.conf", "nameserver 127.0.0.1\nsearch corp.test\noptions timeout:1 attempts:1\n");
    ResolverSettings settings;
    settings.root = root.path();
    settings.dns_port = dns.port();
    settings.try_timeout = 1s;
    settings.tries = 1;

    EXPECT_EQ(resolved("pool.test", settings), (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "2001:db8::1"}));
    EXPECT_EQ(resolved("Alias.Test", settings), std::vector<std::string>{"198.51.100.7"});
    EXPECT_EQ(resolved("v6only.test", settings), std::vector<std::string>{"2001:db8::6"});
    // A single label goes through the search list first.
    EXPECT_EQ(resolved("pool", settings), std::vector<std::string>{"203.0.113.5"});
    EXPECT_EQ(dns.asked().front(), "pool.test");
    EXPECT_EQ(resolved("missing.test", settings), std::vector<std::string>{"error: name not found"});
    EXPECT_EQ(resolved("empty.test", settings), std::vector<std::string>{"error: name not found"});
    EXPECT_EQ(resolved("refused.test", settings), std::vector<std::string>{"error: name lookup failed"});

    // Truncated over UDP: asked again over TCP.
    dns.set_truncate_udp(true);
    EXPECT_EQ(resolved("alias.test", settings), std::vector<std::string>{"198.51.100.7"});
    const auto asked = dns.asked();
    EXPECT_GE(std::count(asked.begin(), asked.end(), "alias.test/tcp"), 1);
    dns.set_truncate_udp(false);

    // A server that never answers: one try of one second.
    dns.set_silent(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(resolved("pool.test", settings), std::vector<std::string>{"error: name lookup timed out"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 3s);
    // The budget ends a lookup whatever the tries would take.
    settings.tries = 0;
    settings.try_timeout = 0ms;
    settings.budget = 300ms;
    const auto cut = std::chrono::steady_clock::now();
    EXPECT_EQ(resolved("pool.test", settings), std::vector<std::string>{"error: name lookup timed out"});
    EXPECT_LT(std::chrono::steady_clock::now() - cut, 1s);
}

TEST(Resolver, ServersInTurnAndNoServerListening) {
    FakeDns dns;
    dns.set("pool.test", {{*parse_ip_literal("192.0.2.1")}, "", false, false});
    FakeRoot root;
    // The first server (127.0.0.2, nothing listens on the port there) never
    // answers; after its try the second one does.
    root.write("etc/resolv.conf", "nameserver 127.0.0.2\nnameserver 127.0.0.1\n");
    ResolverSettings settings;
    settings.root = root.path();
    settings.dns_port = dns.port();
    settings.try_timeout = 1s;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(resolved("pool.test", settings), std::vector<std::string>{"192.0.2.1"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);

    root.write("etc/resolv.conf", "nameserver 127.0.0.2\n");
    settings.tries = 1;
    EXPECT_EQ(resolved("pool.test", settings), std::vector<std::string>{"error: name lookup timed out"});
}

TEST(Lookups, NumericAddressesNeedNoResolverThread) {
    std::atomic<int> calls{0};
    Lookups lookups([&calls](const std::string&) -> Lookup {
        calls.fetch_add(1);
        return std::vector<IpAddress>{*parse_ip_literal("192.0.2.7")};
    });
    const auto always = [] { return true; };
    for (const char* host : {"127.0.0.1", "[2001:db8::1]", "2001:db8::1"}) {
        const std::optional<Lookup> found = lookups.resolve(host, std::chrono::milliseconds(100),
                                                            std::chrono::milliseconds(1), always);
        ASSERT_TRUE(found && *found) << host;
        ASSERT_EQ(found->value().size(), 1u) << host;
        EXPECT_EQ(found->value()[0], *parse_ip_literal(host)) << host;
    }
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(lookups.outstanding(), 0u);
    // A name still goes to the resolver.
    const std::optional<Lookup> named = lookups.resolve("pool.test", std::chrono::seconds(5),
                                                        std::chrono::milliseconds(1), always);
    ASSERT_TRUE(named && *named);
    EXPECT_EQ(named->value()[0], *parse_ip_literal("192.0.2.7"));
    EXPECT_EQ(calls.load(), 1);
}
