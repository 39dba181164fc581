// The pool client against broken and hostile pools on loopback: addresses
// that never answer, a pool that never sends a job, one that refuses the
// login, one that vanishes mid-job, a name lookup that hangs, and two pools
// where the first is down and comes back. Time-outs are shortened through
// PoolTiming; the figures the README quotes come from the last test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pool/pool.hpp"
#include "pool_test_util.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string at(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

Config two_pools(std::uint16_t primary, std::uint16_t backup) {
    Config config = config_for(primary);
    config.backups.push_back(Endpoint{"127.0.0.1", backup});
    return config;
}

// A resolver that gives fixed addresses for every name.
ResolveFn fixed_addresses(std::vector<const char*> texts) {
    return [texts](const std::string&) -> Lookup {
        std::vector<IpAddress> out;
        for (const char* text : texts) out.push_back(*parse_ip_literal(text));
        return out;
    };
}

// A resolver that hangs on "hang.test" until released (on destruction at
// the latest, so its threads finish); other names are 127.0.0.1. Its state
// is shared with the resolver threads, which may outlive the object.
class HangingResolver {
public:
    ResolveFn fn() {
        return [state = state_](const std::string& host) -> Lookup {
            state->calls.fetch_add(1);
            if (host != "hang.test") return std::vector<IpAddress>{*parse_ip_literal("127.0.0.1")};
            std::unique_lock<std::mutex> lock(state->mutex);
            state->changed.wait(lock, [&state] { return state->released; });
            return LookupError{LookupError::Kind::not_found};
        };
    }
    int calls() const { return state_->calls.load(); }
    ~HangingResolver() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->released = true;
        state_->changed.notify_all();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        std::atomic<int> calls{0};
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Accepts the pool's next connection and reads its login.
bool accept_login(TestServer& server, std::chrono::milliseconds timeout = 5s) {
    return server.accept_client(timeout) && server.read_line().has_value();
}

}  // namespace

// A primary and a backup pool on loopback, and a client with short time-outs
// and no jitter whose log is recorded.
class FailoverTwoPools : public ::testing::Test {
protected:
    FailoverTwoPools() {
        recorder.attach(pool);
        pool.set_jitter(no_jitter);
    }

    TestServer primary, backup;
    Recorder recorder;  // before the pool: it outlives the connection thread
    Pool pool{fast_timing()};
};

TEST(Failover, EachAddressGetsItsOwnConnectTimeOut) {
    TestServer server;
    BlackHole hole(server.port(), "127.0.0.2");
    if (!hole.holding()) GTEST_SKIP() << "this system answered a connect to a full queue";
    Recorder recorder;
    Pool pool(fast_timing());
    recorder.attach(pool);
    // The first address never answers, the second refuses, the third is the pool.
    pool.set_resolver(fixed_addresses({"127.0.0.2", "127.0.0.3", "127.0.0.1"}));
    Config config = config_for(server.port());
    config.host = "pool.test";
    const auto start = Clock::now();
    pool.start(config);
    ASSERT_TRUE(accept_login(server));
    const double took = seconds_since(start);
    EXPECT_GE(took, 0.29);  // the connect time-out of the first address
    EXPECT_LT(took, 2.0);   // not the system's SYN time-out of minutes
    EXPECT_TRUE(recorder.wait_for_log("connected to pool.test:" + std::to_string(server.port())));
    EXPECT_TRUE(recorder.with_prefix("cannot reach").empty());
    pool.stop();

    // No address answers: the reason is the time-out, after every address had its turn.
    recorder.clear();
    pool.set_resolver(fixed_addresses({"127.0.0.2", "127.0.0.2"}));
    pool.set_jitter(no_jitter);
    const auto again = Clock::now();
    pool.start(config);
    ASSERT_TRUE(recorder.wait_for_log("cannot reach", 5s, true));
    EXPECT_GE(seconds_since(again), 0.58);
    pool.stop();
    EXPECT_EQ(recorder.with_prefix("cannot reach").front(),
              "cannot reach pool.test:" + std::to_string(server.port()) + ", retry in 5 s (timed out)");
}

TEST(Failover, ReasonsForCannotReach) {
    Recorder recorder;
    Pool pool(fast_timing());
    recorder.attach(pool);
    pool.set_jitter(no_jitter);
    const std::uint16_t port = closed_port();
    pool.set_resolver([](const std::string&) -> Lookup { return LookupError{LookupError::Kind::not_found}; });
    Config config = config_for(port);
    config.host = "no.such.test";
    pool.start(config);
    ASSERT_TRUE(recorder.wait_for_log("cannot reach", 5s, true));
    pool.stop();
    EXPECT_EQ(recorder.with_prefix("cannot reach").front(),
              "cannot reach no.such.test:" + std::to_string(port) + ", retry in 5 s (name not found)");

    // The real resolver on a numeric address that refuses.
    Recorder second;
    Pool plain(fast_timing());
    second.attach(plain);
    plain.set_jitter(no_jitter);
    plain.start(config_for(port));
    ASSERT_TRUE(second.wait_for_log("cannot reach", 5s, true));
    plain.stop();
    EXPECT_EQ(second.with_prefix("cannot reach").front(), "cannot reach " + at(port) + ", retry in 5 s (connection refused)");
}

TEST(Failover, BackOffStepsCarryJitter) {
    // Jitter at its ends: -20 % and just below +20 %.
    Recorder recorder;
    Pool pool(fast_timing());
    recorder.attach(pool);
    std::atomic<int> n{0};
    pool.set_jitter([&n] { return n.fetch_add(1) % 2 == 0 ? 0.0 : 0.999; });
    const std::uint16_t port = closed_port();
    const auto start = Clock::now();
    pool.start(config_for(port));
    ASSERT_TRUE(recorder.wait_for_count("cannot reach", 6, 20s));
    const double took = seconds_since(start);
    pool.stop();
    const auto lines = recorder.with_prefix("cannot reach");
    std::vector<std::string> delays;
    for (std::size_t i = 0; i < 6; ++i) {
        const std::size_t from = lines[i].find("retry in ") + 9;
        delays.push_back(lines[i].substr(from, lines[i].find(" s", from) - from));
    }
    // 5 s * 0.8, 10 s * 1.2, 20 * 0.8, 40 * 1.2, 60 * 0.8, 60 * 1.2 (rounded).
    EXPECT_EQ(delays, (std::vector<std::string>{"4", "12", "16", "48", "48", "72"}));
    // The waits themselves follow: 4 + 12 + 16 + 48 + 48 s in 1 ms steps.
    EXPECT_GE(took, 1.28);
}

TEST_F(FailoverTwoPools, APoolThatNeverSendsAJobFails) {
    pool.start(two_pools(primary.port(), backup.port()));
    ASSERT_TRUE(accept_login(primary));
    const auto connected = Clock::now();
    // The primary says nothing: after the job time-out the backup's turn.
    ASSERT_TRUE(accept_login(backup));
    EXPECT_GE(seconds_since(connected), 0.3);
    EXPECT_TRUE(primary.wait_closed(1s));  // the silent connection is closed, not left open
    ASSERT_TRUE(backup.send(job_line(5, "B5") + "\n"));
    ASSERT_TRUE(recorder.wait_for_log("new job", 2s, true));
    EXPECT_EQ(pool.current_pool(), 1u);
    const auto logs = recorder.logs();
    const std::vector<std::string> expected = {
        "connected to " + at(primary.port()), "no job from " + at(primary.port()) + " within 0.3 s",
        "connection lost, reconnecting in 5 s", "switching to backup pool " + at(backup.port()),
        "connected to " + at(backup.port())};
    EXPECT_EQ(std::vector<std::string>(logs.begin(), logs.begin() + 5), expected);
    pool.stop();
}

TEST_F(FailoverTwoPools, ARefusedLoginIsRetriedThenLeft) {
    pool.start(two_pools(primary.port(), backup.port()));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(accept_login(primary)) << i;
        ASSERT_TRUE(primary.send(R"({"id":1,"error":"unknown address"})" "\n"));
        // The pool keeps its end open: the miner must not idle on it.
        EXPECT_TRUE(primary.wait_closed(2s)) << i;
    }
    ASSERT_TRUE(accept_login(backup));
    ASSERT_TRUE(backup.send(job_line(5, "B5") + "\n"));
    ASSERT_TRUE(recorder.wait_for_log("new job", 2s, true));
    pool.stop();
    EXPECT_EQ(recorder.with_prefix("login refused").size(), 3u);
    EXPECT_EQ(recorder.with_prefix("connection lost"),
              (std::vector<std::string>{"connection lost, reconnecting in 5 s", "connection lost, reconnecting in 10 s",
                                        "connection lost, reconnecting in 20 s"}));
    EXPECT_EQ(recorder.with_prefix("switching"), std::vector<std::string>{"switching to backup pool " + at(backup.port())});
}

TEST_F(FailoverTwoPools, APoolThatVanishesMidJobIsRejoinedAndItsJobGoesOn) {
    std::uint8_t hash[32] = {};
    pool.start(two_pools(primary.port(), backup.port()));
    ASSERT_TRUE(accept_login(primary));
    ASSERT_TRUE(primary.send(job_line(7, "P7") + "\n"));
    ASSERT_TRUE(recorder.wait_for_log("new job", 2s, true));
    const Job first = *pool.mineable_job();
    EXPECT_TRUE(pool.submit(first, 7001, hash));
    ASSERT_TRUE(primary.read_line().has_value());

    // Gone mid-job, with a reset: no job to mine until the pool is back,
    // and the same pool again (it had given jobs), not the backup.
    linger hard{1, 0};
    ::setsockopt(primary.client_fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    primary.close_client();
    ASSERT_TRUE(recorder.wait_for_log("connection lost, reconnecting in 5 s"));
    EXPECT_FALSE(pool.mineable_job().has_value());
    EXPECT_FALSE(pool.submit(first, 7002, hash));
    ASSERT_TRUE(accept_login(primary));
    EXPECT_TRUE(recorder.with_prefix("switching").empty());

    // The same job again: the walk goes on (same seq), shares go to the new connection.
    ASSERT_TRUE(primary.send(job_line(7, "P7") + "\n"));
    ASSERT_TRUE(recorder.wait_for_count("new job", 2, 2s));
    const Job again = *pool.mineable_job();
    EXPECT_EQ(again.seq, first.seq);
    EXPECT_EQ(again.connection, first.connection + 1);
    // The share found while the pool was gone goes out now, then the new one.
    const auto held = primary.read_line();
    ASSERT_TRUE(held.has_value());
    EXPECT_NE(held->find(R"("job_id":"P7","nonce":7002)"), std::string::npos) << *held;
    EXPECT_TRUE(pool.submit(again, 7003, hash));
    const auto line = primary.read_line();
    ASSERT_TRUE(line.has_value());
    EXPECT_NE(line->find(R"("job_id":"P7","nonce":7003)"), std::string::npos) << *line;
    // Another job is another walk.
    ASSERT_TRUE(primary.send(job_line(8, "P8") + "\n"));
    ASSERT_TRUE(recorder.wait_for_count("new job", 3, 2s));
    EXPECT_EQ(pool.current_job().seq, first.seq + 1);
    pool.stop();
}

TEST(Failover, AHangingNameLookupHoldsUpNothing) {
    TestServer backup;
    HangingResolver resolver;
    Recorder recorder;
    PoolTiming timing = fast_timing();
    timing.resolve_timeout = 200ms;
    Pool pool(timing);
    recorder.attach(pool);
    pool.set_jitter(no_jitter);
    pool.set_resolver(resolver.fn());
    Config config = config_for(backup.port());
    config.host = "hang.test";
    config.backups.push_back(Endpoint{"backup.test", backup.port()});

    // The lookup hangs: after its time-out the backup is tried and used.
    pool.start(config);
    ASSERT_TRUE(accept_login(backup));
    EXPECT_EQ(recorder.with_prefix("cannot reach").front(),
              "cannot reach hang.test:" + std::to_string(backup.port()) + ", retry in 5 s (name lookup timed out)");
    ASSERT_TRUE(backup.send(job_line(3, "B3") + "\n"));
    ASSERT_TRUE(recorder.wait_for_log("new job", 2s, true));
    pool.stop();

    // Stop and the fee switch while the thread waits on the lookup.
    for (int i = 0; i < 3; ++i) {
        Config primary_only = config_for(backup.port(), i % 2 == 0 ? "FEEaddr" : "QXTaddr");
        primary_only.host = "hang.test";
        pool.start(primary_only);
        std::this_thread::sleep_for(50ms);
        const auto start = Clock::now();
        pool.stop();
        EXPECT_LT(seconds_since(start), 0.1) << i;
    }
    // However often it was tried, the hung name holds one resolver thread.
    EXPECT_EQ(resolver.calls(), 2);  // hang.test once, backup.test once
}

TEST_F(FailoverTwoPools, TwoPoolsFirstDownThenBack) {
    primary.close_listener();  // down: connections are refused
    std::uint8_t hash[32] = {};
    const auto start = Clock::now();
    pool.start(two_pools(primary.port(), backup.port()));
    ASSERT_TRUE(accept_login(backup));
    const double failover = seconds_since(start);
    ASSERT_TRUE(backup.send(job_line(2, "B2") + "\n"));
    ASSERT_TRUE(recorder.wait_for_log("new job", 2s, true));
    const Job backup_job = *pool.mineable_job();
    EXPECT_TRUE(pool.submit(backup_job, 2001, hash));
    ASSERT_TRUE(backup.read_line().has_value());

    // The primary comes back: tried on the side, it logs in and gives a
    // job; only then does the miner leave the backup.
    ASSERT_TRUE(primary.reopen());
    const auto back = Clock::now();
    ASSERT_TRUE(accept_login(primary));
    EXPECT_TRUE(pool.mineable_job().has_value());  // still mining the backup's job meanwhile
    EXPECT_EQ(pool.current_pool(), 1u);
    ASSERT_TRUE(primary.send(R"({"id":1,"result":{"status":"OK"}})" "\n" + job_line(9, "P9") + "\n"));
    ASSERT_TRUE(recorder.wait_for_log("primary pool " + at(primary.port()) + " gives jobs again, switching back"));
    ASSERT_TRUE(recorder.wait_for_log("new job \xE2\x80\x94 height 9, difficulty 0"));
    const double returned = seconds_since(back);
    EXPECT_TRUE(backup.wait_closed(1s));
    EXPECT_EQ(pool.current_pool(), 0u);
    const Job primary_job = *pool.mineable_job();
    EXPECT_EQ(primary_job.job_id, "P9");
    // A share of the backup's job never reaches the primary.
    EXPECT_FALSE(pool.submit(backup_job, 2002, hash));
    EXPECT_TRUE(pool.submit(primary_job, 9001, hash));
    const auto line = primary.read_line();
    ASSERT_TRUE(line.has_value());
    EXPECT_NE(line->find(R"("job_id":"P9","nonce":9001)"), std::string::npos) << *line;
    EXPECT_EQ(primary.read_until_closed(100ms).find("B2"), std::string::npos);
    pool.stop();

    const auto logs = recorder.logs();
    const std::vector<std::string> expected = {
        "cannot reach " + at(primary.port()) + ", retry in 5 s (connection refused)",
        "switching to backup pool " + at(backup.port()), "connected to " + at(backup.port())};
    EXPECT_EQ(std::vector<std::string>(logs.begin(), logs.begin() + 3), expected);
    std::printf("[measure] failover to the backup %.3f s (5 s back-off step at 1 ms), return to the primary %.3f s "
                "(primary retried every 0.3 s)\n",
                failover, returned);
}

TEST_F(FailoverTwoPools, AProbeThatFailsLeavesTheBackupAlone) {
    primary.close_listener();
    pool.start(two_pools(primary.port(), backup.port()));
    ASSERT_TRUE(accept_login(backup));
    ASSERT_TRUE(backup.send(job_line(2, "B2") + "\n"));
    ASSERT_TRUE(recorder.wait_for_log("new job", 2s, true));
    const std::uint64_t connection = pool.connection_number();

    // Down, refusing the login, then silent: the backup stays in use.
    ASSERT_TRUE(recorder.wait_for_log("primary pool " + at(primary.port()) + " still unavailable (connection refused)"));
    ASSERT_TRUE(primary.reopen());
    ASSERT_TRUE(accept_login(primary));
    ASSERT_TRUE(primary.send(R"({"id":1,"error":"banned"})" "\n"));
    ASSERT_TRUE(recorder.wait_for_log("primary pool " + at(primary.port()) + " still unavailable (login refused)"));
    ASSERT_TRUE(accept_login(primary));
    ASSERT_TRUE(recorder.wait_for_log("primary pool " + at(primary.port()) + " still unavailable (no job within 0.3 s)"));
    EXPECT_EQ(pool.connection_number(), connection);
    EXPECT_EQ(pool.current_pool(), 1u);
    EXPECT_TRUE(pool.mineable_job().has_value());
    EXPECT_TRUE(recorder.with_prefix("login refused").empty());  // the probe's lines never reach the log
    pool.stop();
}

TEST(Failover, TheFeeSwitchStaysOnTheBackupInUse) {
    TestServer primary, backup;
    primary.close_listener();
    Recorder recorder;
    PoolTiming timing = fast_timing();
    timing.primary_retry = 1h;
    Pool pool(timing);
    recorder.attach(pool);
    pool.set_jitter(no_jitter);
    Config config = two_pools(primary.port(), backup.port());
    pool.start(config);
    ASSERT_TRUE(accept_login(backup));
    pool.stop();
    config.address = "FEEaddr";
    config.worker = "nolu";
    pool.start(config);
    ASSERT_TRUE(backup.accept_client());
    const auto login = backup.read_line();
    ASSERT_TRUE(login.has_value());
    EXPECT_NE(login->find(R"("address":"FEEaddr","worker":"nolu")"), std::string::npos);
    ASSERT_TRUE(backup.send(job_line(4, "F4") + "\n"));
    ASSERT_TRUE(recorder.wait_for_log("new job", 2s, true));
    EXPECT_EQ(recorder.with_prefix("cannot reach").size(), 1u);  // the primary was not tried again first
    pool.stop();
    // Another pool list starts from its primary.
    config.backups.clear();
    config.host = "127.0.0.1";
    config.port = backup.port();
    pool.start(config);
    EXPECT_EQ(pool.current_pool(), 0u);
    ASSERT_TRUE(accept_login(backup));
    pool.stop();
}

TEST(Failover, KeepaliveAndUserTimeoutOnTheConnection) {
    TestServer server;
    Recorder recorder;
    Pool pool;
    recorder.attach(pool);
    pool.start(config_for(server.port()));
    ASSERT_TRUE(accept_login(server));
    // The pool's socket is in this process: the one whose port is the server's peer.
    const std::uint16_t client_port = server.peer_port();
    int found = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_in addr{};
        socklen_t length = sizeof addr;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 && addr.sin_family == AF_INET &&
            ntohs(addr.sin_port) == client_port)
            found = fd;
    }
    ASSERT_GE(found, 0);
    auto option = [found](int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        ::getsockopt(found, level, name, &value, &length);
        return value;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 5);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 110000);
    // A dead connection is noticed within about two minutes.
    EXPECT_LE(60 + 5 * 10, 120);
    pool.stop();
}

// Stop in every state of the connection thread, with the real time-outs
// (100 ms wait steps): each returns well within 2 s.
TEST(Failover, StopIsPromptInEveryState) {
    TestServer server;
    BlackHole hole;
    HangingResolver resolver;
    struct Case {
        const char* state;
        std::function<void(Pool&, Recorder&)> enter;  // starts the pool and brings it into the state
    };
    const std::uint16_t port = server.port();
    std::vector<Case> cases = {
        {"resolving (lookup hangs)",
         [&](Pool& pool, Recorder&) {
             Config config = config_for(port);
             config.host = "hang.test";
             pool.start(config);
             std::this_thread::sleep_for(250ms);
         }},
        {"connecting (no answer)",
         [&](Pool& pool, Recorder&) {
             pool.start(config_for(hole.port()));
             std::this_thread::sleep_for(250ms);
         }},
        {"logged in, waiting for a job",
         [&](Pool& pool, Recorder&) {
             pool.start(config_for(port));
             accept_login(server);
         }},
        {"mining a job",
         [&](Pool& pool, Recorder& recorder) {
             pool.start(config_for(port));
             accept_login(server);
             server.send(job_line(1) + "\n");
             recorder.wait_for_log("new job", 2s, true);
         }},
        {"waiting to retry",
         [&](Pool& pool, Recorder& recorder) {
             pool.start(config_for(closed_port()));
             recorder.wait_for_log("cannot reach", 2s, true);
             std::this_thread::sleep_for(250ms);
         }},
        {"on a backup, trying the primary",
         [&](Pool& pool, Recorder& recorder) {
             Config config = config_for(hole.port());
             config.backups.push_back(Endpoint{"127.0.0.1", port});
             pool.start(config);
             accept_login(server, 20s);
             server.send(job_line(1) + "\n");
             recorder.wait_for_log("new job", 2s, true);
             std::this_thread::sleep_for(600ms);  // the probe is connecting into the hole
         }},
    };
    if (!hole.holding()) GTEST_SKIP() << "this system answered a connect to a full queue";
    std::string figures;
    for (const Case& c : cases) {
        Recorder recorder;
        PoolTiming timing;  // the real wait step of 100 ms
        timing.primary_retry = 300ms;
        timing.connect_timeout = 1s;
        Pool pool(timing);
        recorder.attach(pool);
        pool.set_resolver(resolver.fn());
        c.enter(pool, recorder);
        ASSERT_TRUE(pool.running()) << c.state;
        const auto start = Clock::now();
        pool.stop();
        const double took = seconds_since(start);
        EXPECT_LT(took, 2.0) << c.state;
        EXPECT_LT(took, 0.5) << c.state;  // what it should take: a wait step or two
        EXPECT_FALSE(pool.connected()) << c.state;
        char figure[96];
        std::snprintf(figure, sizeof figure, "%s %.3f s; ", c.state, took);
        figures += figure;
        server.close_client();
    }
    std::printf("[measure] stop: %s\n", figures.c_str());
}
