// Failover that holds and verdicts that count: a name with thousands of
// addresses that never answer, a pool that drops every session right after
// its job, a primary that gives the probe a job and drops it, replies for
// shares never sent, and a share of a job a pool re-sends after a reconnect.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "pool/pool.hpp"
#include "pool_test_util.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string at(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

class Holding : public ::testing::Test {
protected:
    void SetUp() override {
        recorder.attach(pool);
        pool.set_jitter(no_jitter);
    }
    Config two_pools() {
        Config config = config_for(primary.port());
        config.backups.push_back(Endpoint{"127.0.0.1", backup.port()});
        return config;
    }
    // Accepts a login on server and answers with a job.
    bool give_job(TestServer& server, std::uint64_t height) {
        return server.accept_client() && server.read_line().has_value() && server.send(job_line(height) + "\n");
    }
    // The id of the next submission line the server reads.
    std::uint64_t submission_id(TestServer& server) {
        const std::optional<std::string> line = server.read_line();
        JsonValue message;
        if (!line || !json_parse(*line, message)) return 0;
        return json_u64_or(message, "id", 0);
    }

    TestServer primary, backup;
    Recorder recorder;
    PoolTiming timing = fast_timing();
    Pool pool{timing};
};

}  // namespace

TEST(HoldingAddresses, ANameOfThousandsOfSilentAddressesGivesWayWithinTheBudget) {
    TestServer backup;
    BlackHole hole(0, "127.0.0.1");
    if (!hole.holding()) GTEST_SKIP() << "this system answered a connect to a full queue";
    PoolTiming timing = fast_timing();
    timing.connect_timeout = 300ms;
    timing.attempt_budget = 1s;
    Recorder recorder;
    Pool pool(timing);
    recorder.attach(pool);
    pool.set_jitter(no_jitter);
    pool.set_resolver([](const std::string&) -> Lookup { return std::vector<IpAddress>(3000, ipv4(127, 0, 0, 1)); });
    Config config = config_for(hole.port());
    config.host = "many.test";
    config.backups.push_back(Endpoint{"127.0.0.1", backup.port()});
    const auto start = Clock::now();
    pool.start(config);
    ASSERT_TRUE(backup.accept_client(5s));
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(recorder.with_prefix("cannot reach many.test").front(),
              "cannot reach many.test:" + std::to_string(hole.port()) + ", retry in 5 s (timed out)");
}

TEST_F(Holding, APoolThatDropsEachSessionRightAfterItsJobIsLeft) {
    pool.stop();
    timing.min_session = 5s;
    Pool strict(timing);
    recorder.attach(strict);
    strict.set_jitter(no_jitter);
    strict.start(two_pools());
    ASSERT_TRUE(give_job(primary, 1));
    ASSERT_TRUE(recorder.wait_for_log("new job", 5s, true));
    primary.close_client();
    ASSERT_TRUE(recorder.wait_for_log("switching to backup pool " + at(backup.port())));
    EXPECT_EQ(recorder.with_prefix(at(primary.port()) + " ended the session").size(), 1u);
    // The delay is not reset by such a session: the next wait is 10 s.
    EXPECT_EQ(recorder.with_prefix("connection lost").front(), "connection lost, reconnecting in 5 s");
    ASSERT_TRUE(give_job(backup, 2));
    strict.stop();
}

TEST_F(Holding, TheProbeWaitsForThePrimaryToHoldItsJob) {
    pool.stop();
    timing.probe_hold = 400ms;
    Pool probing(timing);
    recorder.attach(probing);
    probing.set_jitter(no_jitter);
    primary.close_listener();
    probing.start(two_pools());
    ASSERT_TRUE(give_job(backup, 1));
    ASSERT_TRUE(primary.reopen());
    // The probe's connection gets a job and is dropped before the hold ends.
    ASSERT_TRUE(give_job(primary, 2));
    std::this_thread::sleep_for(100ms);
    primary.close_client();
    ASSERT_TRUE(recorder.wait_for_log("primary pool " + at(primary.port()) + " still unavailable (closed by the pool",
                                      5s, true));
    std::string log;
    for (const std::string& line : recorder.logs()) log += line + "\n";
    EXPECT_TRUE(recorder.with_prefix("primary pool " + at(primary.port()) + " gives jobs").empty()) << log;
    // The next probe's primary holds: the miner moves back.
    ASSERT_TRUE(give_job(primary, 3));
    ASSERT_TRUE(recorder.wait_for_log("primary pool " + at(primary.port()) + " gives jobs again, switching back"));
    EXPECT_EQ(probing.current_pool(), 0u);
    probing.stop();
}

TEST_F(Holding, OnlyRepliesToPendingSubmissionsCount) {
    pool.start(config_for(primary.port()));
    ASSERT_TRUE(give_job(primary, 1));
    ASSERT_TRUE(recorder.wait_for_log("new job", 5s, true));
    std::string flood;
    for (int i = 0; i < 50; ++i) flood += R"({"id":1000,"status":"OK"})" "\n";
    ASSERT_TRUE(primary.send(flood));
    const Job job = pool.current_job();
    const std::uint8_t hash[32] = {};
    ASSERT_TRUE(pool.submit(job, job.nonce_start, hash));
    const std::uint64_t id = submission_id(primary);
    ASSERT_NE(id, 0u);
    const std::string verdict = R"({"id":)" + std::to_string(id) + R"(,"status":"OK"})" "\n";
    ASSERT_TRUE(primary.send(verdict + verdict));  // the second is no verdict any more
    ASSERT_TRUE(recorder.wait_for_shares(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorder.shares().size(), 1u);
    EXPECT_EQ(recorder.with_prefix("ignoring a reply").size(), 1u);  // once per connection

    // A verdict for a share of the last connection does not count on the next.
    ASSERT_TRUE(pool.submit(pool.current_job(), job.nonce_start + 1, hash));
    const std::uint64_t old_id = submission_id(primary);
    ASSERT_TRUE(reconnect(primary));
    primary.send(job_line(2) + "\n" + R"({"id":)" + std::to_string(old_id) + R"(,"status":"OK"})" "\n");
    ASSERT_TRUE(recorder.wait_for_count("ignoring a reply", 2));
    EXPECT_EQ(recorder.shares().size(), 1u);
}

TEST_F(Holding, AShareOfAJobReSentAfterAReconnectStillGoesOut) {
    pool.start(config_for(primary.port()));
    ASSERT_TRUE(give_job(primary, 7));
    ASSERT_TRUE(recorder.wait_for_log("new job", 5s, true));
    const Job job = pool.current_job();
    primary.close_client();
    ASSERT_TRUE(recorder.wait_for_log("connection lost", 5s, true));
    const std::uint8_t hash[32] = {1};
    // Found while no connection is up: kept for the job's return.
    EXPECT_FALSE(pool.submit(job, job.nonce_start + 3, hash));
    ASSERT_TRUE(give_job(primary, 7));
    const std::optional<std::string> held = primary.read_line();
    ASSERT_TRUE(held.has_value());
    EXPECT_NE(held->find(R"("job_id":"j7","nonce":)" + std::to_string(job.nonce_start + 3)), std::string::npos);
    // Found after the job came back: sent on the new connection at once.
    EXPECT_TRUE(pool.submit(job, job.nonce_start + 4, hash));
    EXPECT_TRUE(primary.read_line().has_value());
    // A different job on the next connection: the old job's shares stay home.
    primary.close_client();
    ASSERT_TRUE(recorder.wait_for_count("connection lost", 2));
    EXPECT_FALSE(pool.submit(job, job.nonce_start + 5, hash));
    ASSERT_TRUE(give_job(primary, 8));
    EXPECT_FALSE(primary.read_line(300ms).has_value());
    EXPECT_FALSE(pool.submit(job, job.nonce_start + 6, hash));
}
