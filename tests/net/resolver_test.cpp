// The resolver without the C library's name service: numeric addresses,
// the hosts file, localhost names, resolv.conf, DNS messages (built and
// read, hostile ones included) and whole lookups against a name server on
// a loopback port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "fake_dns.hpp"
#include "net/dns_message.hpp"
#include "net/hosts_file.hpp"
#include "net/lookups.hpp"
#include "net/resolv_conf.hpp"
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

// A reply message, byte by byte, for the parser tests: header fields, the
// question of `name`, and raw answer bytes.
std::vector<std::uint8_t> reply_bytes(std::uint16_t id, std::uint16_t flags, std::uint16_t answers,
                                      const std::string& name, std::uint16_t type,
                                      const std::vector<std::uint8_t>& rest) {
    std::vector<std::uint8_t> m = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id),
                                   static_cast<std::uint8_t>(flags >> 8), static_cast<std::uint8_t>(flags),
                                   0, 1, static_cast<std::uint8_t>(answers >> 8), static_cast<std::uint8_t>(answers),
                                   0, 0, 0, 0};
    const std::string wire = *dns_wire_name(name);
    m.insert(m.end(), wire.begin(), wire.end());
    m.insert(m.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
    m.insert(m.end(), rest.begin(), rest.end());
    return m;
}

// An A record owned by the name at offset 12 (the question's).
std::vector<std::uint8_t> a_record(std::uint8_t last) {
    return {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, last};
}

DnsReply parse(const std::vector<std::uint8_t>& m, std::uint16_t id = 0x1234, const std::string& name = "pool.test",
               std::uint16_t type = dns_type_a) {
    return parse_dns_reply(m.data(), m.size(), id, *dns_wire_name(name), type);
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

TEST(Resolver, HostsFile) {
    const std::string hosts =
        "# comment line\n"
        "127.0.0.1\tlocalhost\n"
        "192.0.2.1 pool.test alias.test # the pool\n"
        "   \n"
        "not-an-address pool.test\n"
        "[192.0.2.9] pool.test\n"
        "2001:db8::5 POOL.Test\n"
        "192.0.2.1 pool.test\n"
        "192.0.2.2 other.test pool.test#glued comment\n"
        "192.0.2.3 pool.testing\n"
        "192.0.2.4";
    EXPECT_EQ(texts(hosts_lookup(hosts, "pool.test")),
              (std::vector<std::string>{"192.0.2.1", "2001:db8::5", "192.0.2.2"}));
    EXPECT_EQ(texts(hosts_lookup(hosts, "Alias.Test.")), std::vector<std::string>{"192.0.2.1"});
    EXPECT_TRUE(hosts_lookup(hosts, "test").empty());
    EXPECT_TRUE(hosts_lookup(hosts, "").empty());
    EXPECT_TRUE(hosts_lookup("", "pool.test").empty());
    EXPECT_TRUE(hosts_lookup(std::string(100000, 'x'), "x").empty());
}

TEST(Resolver, ResolvConf) {
    ResolvConf conf = parse_resolv_conf(
        "; comment\n"
        "nameserver 192.0.2.53 # first\n"
        "nameserver [192.0.2.54]\n"
        "nameserver 2001:db8::53\n"
        "nameserver bogus\n"
        "nameserver 192.0.2.55\n"
        "nameserver 192.0.2.56\n"
        "search a.test B.Test. c.test d.test e.test f.test g.test\n"
        "options ndots:2 timeout:0 attempts:9 rotate use-vc debug timeout:x\n");
    EXPECT_EQ(texts(conf.nameservers), (std::vector<std::string>{"192.0.2.53", "2001:db8::53", "192.0.2.55"}));
    EXPECT_EQ(conf.search, (std::vector<std::string>{"a.test", "b.test", "c.test", "d.test", "e.test", "f.test"}));
    EXPECT_EQ(conf.ndots, 2);
    EXPECT_EQ(conf.timeout_s, 1);  // clamped
    EXPECT_EQ(conf.attempts, 5);
    EXPECT_TRUE(conf.rotate);
    EXPECT_TRUE(conf.use_tcp);

    // The later of "search" and "domain" wins; "domain" names one domain.
    EXPECT_EQ(parse_resolv_conf("search a.test b.test\ndomain c.test d.test\n").search,
              std::vector<std::string>{"c.test"});
    EXPECT_EQ(parse_resolv_conf("domain c.test\nsearch a.test\n").search, std::vector<std::string>{"a.test"});
    // Without a name server the local one is asked, as the system does.
    conf = parse_resolv_conf("");
    EXPECT_EQ(texts(conf.nameservers), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(conf.ndots, 1);
    EXPECT_EQ(conf.timeout_s, 5);
    EXPECT_EQ(conf.attempts, 2);
}

TEST(Resolver, SearchList) {
    ResolvConf conf;
    conf.search = {"a.test", "b.test"};
    EXPECT_EQ(search_candidates("pool", conf), (std::vector<std::string>{"pool.a.test", "pool.b.test", "pool"}));
    EXPECT_EQ(search_candidates("pool.example", conf),
              (std::vector<std::string>{"pool.example", "pool.example.a.test", "pool.example.b.test"}));
    EXPECT_EQ(search_candidates("pool.", conf), std::vector<std::string>{"pool."});
    conf.ndots = 3;
    EXPECT_EQ(search_candidates("x.y.z", conf).back(), "x.y.z");
}

TEST(Resolver, QueryBytes) {
    EXPECT_EQ(dns_query(0xABCD, *dns_wire_name("Pool.Test."), dns_type_aaaa),
              (std::vector<std::uint8_t>{0xAB, 0xCD, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 4, 'p', 'o', 'o', 'l', 4, 't', 'e',
                                         's', 't', 0, 0, 28, 0, 1}));
    EXPECT_FALSE(dns_wire_name("").has_value());
    EXPECT_FALSE(dns_wire_name("a..b").has_value());
    EXPECT_FALSE(dns_wire_name(std::string(64, 'a')).has_value());
    EXPECT_TRUE(dns_wire_name(std::string(63, 'a')).has_value());
    std::string long_name;
    for (int i = 0; i < 64; ++i) long_name += "abc.";
    EXPECT_FALSE(dns_wire_name(long_name).has_value());
}

TEST(Resolver, RepliesAndTheirChecks) {
    // Two addresses, one of them twice; a record of another class is not ours.
    std::vector<std::uint8_t> records = a_record(7);
    const std::vector<std::uint8_t> again = a_record(8);
    records.insert(records.end(), again.begin(), again.end());
    records.insert(records.end(), again.begin(), again.end());
    std::vector<std::uint8_t> chaos = a_record(9);
    chaos[5] = 3;
    records.insert(records.end(), chaos.begin(), chaos.end());
    DnsReply r = parse(reply_bytes(0x1234, 0x8180, 4, "pool.test", dns_type_a, records));
    EXPECT_EQ(r.kind, DnsReply::Kind::answer);
    EXPECT_EQ(texts(r.addresses), (std::vector<std::string>{"192.0.2.7", "192.0.2.8"}));

    // A question asked in other letters is the same question.
    EXPECT_EQ(parse(reply_bytes(0x1234, 0x8180, 1, "POOL.test", dns_type_a, a_record(7))).kind,
              DnsReply::Kind::answer);
    // Not a reply to this query: another id, not a reply, another question, another type.
    EXPECT_EQ(parse(reply_bytes(0x1235, 0x8180, 1, "pool.test", dns_type_a, a_record(7))).kind, DnsReply::Kind::not_ours);
    EXPECT_EQ(parse(reply_bytes(0x1234, 0x0100, 1, "pool.test", dns_type_a, a_record(7))).kind, DnsReply::Kind::not_ours);
    EXPECT_EQ(parse(reply_bytes(0x1234, 0x8180, 1, "evil.test", dns_type_a, a_record(7))).kind, DnsReply::Kind::not_ours);
    EXPECT_EQ(parse(reply_bytes(0x1234, 0x8180, 1, "pool.test", dns_type_aaaa, a_record(7))).kind,
              DnsReply::Kind::not_ours);
    // Codes.
    EXPECT_EQ(parse(reply_bytes(0x1234, 0x8183, 0, "pool.test", dns_type_a, {})).kind, DnsReply::Kind::no_such_name);
    EXPECT_EQ(parse(reply_bytes(0x1234, 0x8182, 0, "pool.test", dns_type_a, {})).kind, DnsReply::Kind::server_failure);
    EXPECT_EQ(parse(reply_bytes(0x1234, 0x8185, 0, "pool.test", dns_type_a, {})).kind, DnsReply::Kind::server_failure);
    r = parse(reply_bytes(0x1234, 0x8380, 1, "pool.test", dns_type_a, a_record(7)));
    EXPECT_TRUE(r.truncated);
    EXPECT_TRUE(r.addresses.empty());  // a cut answer is asked again over TCP
    // Counts beyond the message, a record cut short, an address of the wrong size.
    EXPECT_EQ(parse(reply_bytes(0x1234, 0x8180, 2, "pool.test", dns_type_a, a_record(7))).kind,
              DnsReply::Kind::server_failure);
    std::vector<std::uint8_t> cut = a_record(7);
    cut.pop_back();
    EXPECT_EQ(parse(reply_bytes(0x1234, 0x8180, 1, "pool.test", dns_type_a, cut)).kind, DnsReply::Kind::server_failure);
    std::vector<std::uint8_t> wide = a_record(7);
    wide[11] = 5;
    wide.push_back(1);
    EXPECT_TRUE(parse(reply_bytes(0x1234, 0x8180, 1, "pool.test", dns_type_a, wide)).addresses.empty());
    // Short messages of every length.
    const std::vector<std::uint8_t> whole = reply_bytes(0x1234, 0x8180, 1, "pool.test", dns_type_a, a_record(7));
    for (std::size_t n = 0; n < whole.size(); ++n)
        EXPECT_TRUE(parse(std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<long>(n))).addresses.empty());
}

TEST(Resolver, CnameChainsAndCompressionLoops) {
    // pool.test -> edge.cdn.test (a compressed suffix) -> its address.
    // Offsets: the question's name starts at 12; "test" at 17.
    std::vector<std::uint8_t> answers = {0xC0, 12, 0, 5, 0, 1, 0, 0, 0, 60, 0, 11,
                                         4, 'e', 'd', 'g', 'e', 3, 'c', 'd', 'n', 0xC0, 17};
    const std::uint8_t alias_at = 12 + 11 + 4 + 12;  // question name, type+class, the CNAME's fixed part
    const std::vector<std::uint8_t> address = {0xC0, alias_at, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 198, 51, 100, 1};
    answers.insert(answers.end(), address.begin(), address.end());
    EXPECT_EQ(texts(parse(reply_bytes(0x1234, 0x8180, 2, "pool.test", dns_type_a, answers)).addresses),
              std::vector<std::string>{"198.51.100.1"});
    // Records in another order are followed all the same (the address
    // first, its owner written out: a pointer may only point backwards).
    std::vector<std::uint8_t> reversed = {4, 'e', 'd', 'g', 'e', 3, 'c', 'd', 'n', 4, 't', 'e', 's', 't', 0,
                                          0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 198, 51, 100, 2};
    reversed.insert(reversed.end(), answers.begin(), answers.begin() + 23);
    EXPECT_EQ(texts(parse(reply_bytes(0x1234, 0x8180, 2, "pool.test", dns_type_a, reversed)).addresses),
              std::vector<std::string>{"198.51.100.2"});

    // An address of another owner than the chain's end does not count.
    EXPECT_TRUE(parse(reply_bytes(0x1234, 0x8180, 1, "pool.test", dns_type_a,
                                  {0xC0, 17, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 6, 6, 6, 6}))
                    .addresses.empty());
    // A pointer to itself, a forward pointer and two pointers to each
    // other are refused without looping.
    for (const std::vector<std::uint8_t>& owner :
         {std::vector<std::uint8_t>{0xC0, 27}, std::vector<std::uint8_t>{0xC0, 40},
          std::vector<std::uint8_t>{1, 'a', 0xC0, 27}}) {
        std::vector<std::uint8_t> rr = owner;
        const std::vector<std::uint8_t> tail = {0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 1, 2, 3, 4};
        rr.insert(rr.end(), tail.begin(), tail.end());
        EXPECT_EQ(parse(reply_bytes(0x1234, 0x8180, 1, "pool.test", dns_type_a, rr)).kind,
                  DnsReply::Kind::server_failure);
    }
    // A CNAME loop ends after a bounded number of hops, with no address.
    const std::vector<std::uint8_t> loop = {0xC0, 12, 0, 5, 0, 1, 0, 0, 0, 60, 0, 2, 0xC0, 12};
    EXPECT_TRUE(parse(reply_bytes(0x1234, 0x8180, 1, "pool.test", dns_type_a, loop)).addresses.empty());
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
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "alias.test/tcp"), 2);  // A and AAAA
    dns.set_truncate_udp(false);

    // A server that never answers: one try of one second per server and attempt.
    dns.set_silent(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(resolved("pool.test", settings), std::vector<std::string>{"error: name lookup timed out"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 3s);
}

TEST(Resolver, ServersInTurnAndNoServerListening) {
    FakeDns dns;
    dns.set("pool.test", {{*parse_ip_literal("192.0.2.1")}, "", false, false});
    FakeRoot root;
    // The first server (127.0.0.2, nothing listens on the port there) is
    // refused at once; the second answers.
    root.write("etc/resolv.conf", "nameserver 127.0.0.2\nnameserver 127.0.0.1\noptions timeout:2\n");
    ResolverSettings settings;
    settings.root = root.path();
    settings.dns_port = dns.port();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(resolved("pool.test", settings), std::vector<std::string>{"192.0.2.1"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);

    root.write("etc/resolv.conf", "nameserver 127.0.0.2\noptions attempts:1\n");
    EXPECT_EQ(resolved("pool.test", settings), std::vector<std::string>{"error: name lookup failed"});
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
