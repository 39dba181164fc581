// Pool URLs and their pins, and the order a name's addresses are tried in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pool/connector.hpp"
#include "pool/url.hpp"

using namespace nolu::qxt;

namespace {

const std::string pin(64, 'a');

}  // namespace

TEST(PoolUrl, SchemesChooseTlsAndEveryFormKeepsItsAddress) {
    struct Row {
        const char* text;
        const char* host;
        std::uint16_t port;
        bool tls;
    };
    const Row rows[] = {
        {"pool.example:3358", "pool.example", 3358, false},
        {"stratum+tcp://pool.example:3358", "pool.example", 3358, false},
        {"TCP://pool.example:3358/", "pool.example", 3358, false},
        {"stratum+ssl://pool.example:443", "pool.example", 443, true},
        {"stratum+tls://[2001:db8::1]:9000", "[2001:db8::1]", 9000, true},
        {"Stratum+TCPS://pool.example", "pool.example", 3333, true},
        {"ssl://127.0.0.1:1", "127.0.0.1", 1, true},
        {"tls://h:xyz", "h", 0, true},
    };
    for (const Row& row : rows) {
        const Expected<Endpoint> e = split_pool(row.text);
        ASSERT_TRUE(e) << row.text;
        EXPECT_EQ(e->host, row.host) << row.text;
        EXPECT_EQ(e->port, row.port) << row.text;
        EXPECT_EQ(e->tls, row.tls) << row.text;
    }
    // --tls makes a bare address TLS, never a plain URL.
    EXPECT_TRUE(split_pool("pool.example:3358", true)->tls);
    EXPECT_FALSE(split_pool("stratum+tcp://pool.example:3358", true)->tls);

    const Expected<Endpoint> http = split_pool("http://pool.example:80");
    ASSERT_FALSE(http);
    EXPECT_NE(http.error().message.find("unknown scheme \"http://\""), std::string::npos);
    EXPECT_FALSE(split_pool("stratum+ssl://h:65536"));
    EXPECT_FALSE(split_pool("://h:1"));
}

TEST(PoolUrl, FingerprintsPinTheirPool) {
    const std::string colons = "AA:" + std::string(62, 'a').insert(2, ":");
    Expected<std::vector<Endpoint>> pools =
        pool_list("ssl://main:443", {"tcp://b1:1", "ssl://b2:2"}, false, {colons, "b2:2=" + std::string(64, 'B')});
    ASSERT_TRUE(pools) << pools.error().message;
    ASSERT_EQ(pools->size(), 3u);
    EXPECT_EQ((*pools)[0].fingerprint, pin);
    EXPECT_EQ((*pools)[1].fingerprint, "");
    EXPECT_EQ((*pools)[2].fingerprint, std::string(64, 'b'));

    for (const char* bad : {"abc", "zz", "nothere:1=aaaa"}) {
        const std::string given = std::string(bad) == "nothere:1=aaaa" ? "nothere:1=" + pin : bad;
        EXPECT_FALSE(pool_list("ssl://main:443", {}, false, {given})) << given;
    }
    EXPECT_EQ(pool_list("h:70000", {}, false, {}).error().message, "pool port 70000 is out of range (0 to 65535)");
    EXPECT_EQ(pool_list("h:1", {"gopher://x:1"}, false, {}).error().message.substr(0, 40),
              "backup pool gopher://x:1: unknown scheme");
}

TEST(PoolUrl, AtMostEightAddressesTheFamiliesAlternating) {
    std::vector<IpAddress> found;
    for (int i = 0; i < 3000; ++i) found.push_back(ipv4(10, 0, static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i)));
    IpAddress six = ipv6_loopback();
    found.push_back(six);
    found.push_back(six);
    const std::vector<IpAddress> order = connect_order(found);
    ASSERT_EQ(order.size(), max_addresses_per_name);
    EXPECT_EQ(order[0], found[0]);
    EXPECT_TRUE(order[1].v6);
    EXPECT_EQ(order[2], found[1]);
    EXPECT_TRUE(order[3].v6);
    EXPECT_EQ(order[4], found[2]);
    EXPECT_FALSE(order[5].v6);  // the v6 ones are used up
    EXPECT_EQ(connect_order({six}).size(), 1u);
}
