// Pools over TLS on loopback, with throw-away certificates: a verified
// chain, the refusals (untrusted, wrong name, wrong pin) with nothing sent,
// a pinned self-signed certificate, the wrong protocol on either side, a stop
// during the handshake, and failover between a TLS pool and a plain one.
#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <string>
#include <thread>

#include "net/tls.hpp"
#include "pool/pool.hpp"
#include "pool_test_util.hpp"
#include "tls_test_util.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_IGN);  // as the miner does: a pool that hangs up is not a crash
        certs = new TestCerts;
    }
    static void TearDownTestSuite() { delete certs; }
    void SetUp() override {
        if (!certs->made()) GTEST_SKIP() << "the openssl tool could not make the certificates";
        recorder.attach(pool);
        pool.set_jitter(no_jitter);
    }

    // A TLS pool at host (resolved to 127.0.0.1) serving the named certificate.
    Config tls_config(const TlsServer& server, const std::string& host = "127.0.0.1") {
        Config config = config_for(server.port());
        config.host = host;
        config.tls = true;
        return config;
    }
    Config tls_config_plain(std::uint16_t port) {
        Config config = config_for(port);
        config.tls = true;
        return config;
    }
    // The line the pool client logs about its attempt, connected or not.
    std::string outcome() {
        if (!recorder.wait_for_log("cannot reach", 5s, true) && !recorder.wait_for_log("connected to", 1s, true))
            return "";
        for (const std::string& line : recorder.logs())
            if (line.rfind("cannot reach", 0) == 0 || line.rfind("connected to", 0) == 0) return line;
        return "";
    }

    static TestCerts* certs;
    Recorder recorder;
    Pool pool{fast_timing()};
};

TestCerts* Tls::certs = nullptr;

}  // namespace

TEST_F(Tls, AVerifiedChainMinesAndTheLineNamesVersionAndFingerprint) {
    TlsServer server(certs->path("leaf.pem"), certs->path("leaf.key"));
    pool.set_resolver([](const std::string&) -> Lookup { return std::vector<IpAddress>{ipv4(127, 0, 0, 1)}; });
    Config config = tls_config(server, "localhost");
    config.tls_ca = certs->path("ca.pem");
    const auto start = Clock::now();
    pool.start(config);
    ASSERT_TRUE(recorder.wait_for_log("new job", 5s, true));
    const std::string line = recorder.with_prefix("connected to").front();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("connect, TLS handshake, login and first job on loopback: %.1f ms\n", ms);
    EXPECT_NE(line.find("over TLSv1.3"), std::string::npos) << line;
    std::string pin = certs->fingerprint("leaf.pem");
    EXPECT_EQ(*normal_fingerprint(pin), line.substr(line.size() - 64)) << line;
    EXPECT_TRUE(pool.tls());
    EXPECT_NE(server.received().find("\"login\""), std::string::npos);
}

TEST_F(Tls, RefusalsSayWhyAndSendNothing) {
    struct Case {
        const char* cert;
        const char* host;
        bool with_ca;
        const char* pin;  // "self", "leaf" or none
        const char* reason;
    };
    const Case cases[] = {
        {"self", "127.0.0.1", false, nullptr, "certificate not trusted (self-signed certificate); to pin it: "},
        {"leaf", "127.0.0.1", false, nullptr, "certificate not trusted (unable to get local issuer certificate)"},
        {"other", "localhost", true, nullptr, "certificate name mismatch: it is not for localhost"},
        {"self", "127.0.0.1", false, "leaf", "certificate fingerprint mismatch: the pool's is "},
    };
    pool.set_resolver([](const std::string&) -> Lookup { return std::vector<IpAddress>{ipv4(127, 0, 0, 1)}; });
    for (const Case& c : cases) {
        recorder.clear();
        TlsServer server(certs->path(std::string(c.cert) + ".pem"), certs->path(std::string(c.cert) + ".key"));
        Config config = tls_config(server, c.host);
        if (c.with_ca) config.tls_ca = certs->path("ca.pem");
        if (c.pin != nullptr) config.fingerprint = *normal_fingerprint(certs->fingerprint(std::string(c.pin) + ".pem"));
        pool.start(config);
        const std::string line = outcome();
        pool.stop();
        EXPECT_NE(line.find(c.reason), std::string::npos) << c.cert << ": " << line;
        for (int i = 0; i < 100 && server.handshakes() == 0; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(server.handshakes(), 1) << c.cert;  // one attempt, no second address
        EXPECT_EQ(server.received(), "") << c.cert;   // no login, no address
    }
}

TEST_F(Tls, APinnedSelfSignedCertificateIsAccepted) {
    TlsServer server(certs->path("self.pem"), certs->path("self.key"));
    Config config = tls_config(server);
    config.fingerprint = *normal_fingerprint(certs->fingerprint("self.pem"));
    pool.start(config);
    EXPECT_TRUE(recorder.wait_for_log("new job", 5s, true));
}

TEST_F(Tls, TheWrongProtocolOnEitherSideIsNamed) {
    // A plain pool on a TLS URL: it answers the hello with a line of text.
    TestServer plain;
    pool.start(tls_config_plain(plain.port()));
    ASSERT_TRUE(plain.accept_client());
    plain.send(R"({"id":0,"error":"bad request"})" "\n");
    EXPECT_NE(outcome().find("the port speaks plain TCP, not TLS"), std::string::npos);
    pool.stop();

    // A TLS pool on a plain URL: it closes on the login, or answers with an alert.
    recorder.clear();
    TlsServer tls(certs->path("self.pem"), certs->path("self.key"));
    pool.start(config_for(tls.port()));
    ASSERT_TRUE(recorder.wait_for_log("connection lost", 5s, true));
    bool named = false;
    for (const std::string& line : recorder.logs()) named = named || line.find("stratum+ssl://") != std::string::npos;
    EXPECT_TRUE(named);
}

TEST_F(Tls, AStopDuringTheHandshakeTakesUnderASecond) {
    TestServer silent;  // takes the connection, never answers the hello
    Pool slow(PoolTiming{});  // the real time-outs: 10 s for connect and handshake
    slow.start(tls_config_plain(silent.port()));
    ASSERT_TRUE(silent.accept_client());
    std::this_thread::sleep_for(200ms);
    const auto start = Clock::now();
    slow.stop();
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(Tls, FailoverFromATlsPrimaryToAPlainBackupAndBack) {
    TlsServer primary(certs->path("self.pem"), certs->path("self.key"));
    TestServer backup;
    Config config = tls_config(primary);
    config.fingerprint = *normal_fingerprint(certs->fingerprint("self.pem"));
    config.backups.push_back(Endpoint{"127.0.0.1", backup.port()});
    primary.set_refusing(true);
    pool.start(config);
    ASSERT_TRUE(recorder.wait_for_log("switching to backup pool", 5s, true));
    ASSERT_TRUE(backup.accept_client());
    ASSERT_TRUE(backup.read_line().has_value());
    backup.send(job_line(2) + "\n");
    ASSERT_TRUE(recorder.wait_for_log("new job", 5s, true));
    EXPECT_FALSE(pool.tls());
    primary.set_refusing(false);
    ASSERT_TRUE(recorder.wait_for_log("primary pool 127.0.0.1:" + std::to_string(primary.port()) +
                                      " gives jobs again, switching back"));
    EXPECT_TRUE(recorder.wait_for_count("connected to 127.0.0.1:" + std::to_string(primary.port()) + " over TLS", 1));
    EXPECT_TRUE(pool.tls());
}
