// The connection thread against a real TCP server on 127.0.0.1: framing, the
// 1 MiB line cap, back-off, stop latency, reconnects and the send path under
// contention and against a pool that stops reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/json.hpp"
#include "pool/pool.hpp"
#include "pool_test_util.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string em_dash = "\xE2\x80\x94";

std::string new_job_log(std::uint64_t height, std::uint64_t difficulty = 0) {
    return "new job " + em_dash + " height " + std::to_string(height) + ", difficulty " + std::to_string(difficulty);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Starts pool against server, accepts the connection and checks the login.
void connect_and_login(Pool& pool, TestServer& server, const Config& config) {
    pool.start(config);
    ASSERT_TRUE(server.accept_client());
    const auto login = server.read_line();
    ASSERT_TRUE(login.has_value());
    const std::string hint = config.difficulty_hint != 0 ? std::to_string(config.difficulty_hint) : "null";
    EXPECT_EQ(*login, R"({"id":1,"method":"login","params":{"address":")" + config.address + R"(","worker":")" +
                          config.worker +
                          R"(","protocol_version":2,"capabilities":["submit_claimed_hash","difficulty_hint"],"difficulty_hint":)" +
                          hint + "}}");
}

}  // namespace

TEST(PoolConnection, FramingIsIndependentOfHowBytesArrive) {
    TestServer server;
    Recorder recorder;
    Pool pool;
    recorder.attach(pool);
    connect_and_login(pool, server, config_for(server.port()));
    EXPECT_TRUE(recorder.wait_for_log("connected to 127.0.0.1:" + std::to_string(server.port())));
    EXPECT_TRUE(pool.connected());
    EXPECT_EQ(pool.connection_number(), 1u);

    // Two lines in one write.
    ASSERT_TRUE(server.send(job_line(1) + "\n" + job_line(2) + "\n"));
    // One line over several writes.
    const std::string third = job_line(3) + "\n";
    for (std::size_t at = 0; at < third.size(); at += 37) {
        ASSERT_TRUE(server.send(third.substr(at, 37)));
        std::this_thread::sleep_for(2ms);
    }
    // CRLF, empty lines and a blank CR line around the next ones.
    const std::uint8_t hash[32] = {};
    ASSERT_TRUE(pool.submit_share("j", 1, hash));  // id 2 awaits its verdict
    ASSERT_TRUE(server.send("\n\n" + job_line(4) + "\r\n\n\r\n" + R"({"id":2,"status":"OK"})" + "\r\n"));
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(4)));
    ASSERT_TRUE(recorder.wait_for_shares(1));

    EXPECT_EQ(recorder.with_prefix("new job"),
              (std::vector<std::string>{new_job_log(1), new_job_log(2), new_job_log(3), new_job_log(4)}));
    EXPECT_EQ(recorder.shares(), (std::vector<std::pair<bool, std::string>>{{true, "OK"}}));
    const Job job = pool.current_job();
    EXPECT_EQ(job.seq, 4u);
    EXPECT_EQ(job.connection, 1u);
    EXPECT_TRUE(job.valid);
    pool.stop();
}

TEST(PoolConnection, UnfinishedLineCapIsOneMebibyte) {
    TestServer server;
    Recorder recorder;
    Pool pool(1ms);
    recorder.attach(pool);
    pool.set_jitter(no_jitter);
    connect_and_login(pool, server, config_for(server.port()));
    ASSERT_TRUE(server.send(job_line(1) + "\n"));
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(1)));

    // Exactly 1 MiB without a line feed is kept; the line feed then ends a
    // line that fails to parse, and the next job arrives on the same connection.
    ASSERT_TRUE(server.send(std::string(1048576, 'x')));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(server.send("\n" + job_line(2) + "\n"));
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(2)));
    EXPECT_EQ(pool.connection_number(), 1u);
    EXPECT_TRUE(recorder.with_prefix("connection lost").empty());

    // One byte more ends the connection like a loss.
    server.send(std::string(1048577, 'x'));
    ASSERT_TRUE(recorder.wait_for_log("connection lost, reconnecting in 5 s"));
    EXPECT_FALSE(pool.current_job().valid);
    ASSERT_TRUE(server.accept_client());
    ASSERT_TRUE(server.read_line().has_value());
    pool.stop();
}

TEST(PoolConnection, BackOffAgainstAClosedPort) {
    Recorder recorder;
    Pool pool(1ms);
    recorder.attach(pool);
    pool.set_jitter(no_jitter);
    const std::uint16_t port = closed_port();
    pool.start(config_for(port));
    ASSERT_TRUE(recorder.wait_for_count("cannot reach", 7, 20s));
    pool.stop();
    const auto lines = recorder.with_prefix("cannot reach");
    const std::string head = "cannot reach 127.0.0.1:" + std::to_string(port) + ", retry in ";
    // Each line ends with the reason, after the numbers readers know.
    const std::string refused = " (connection refused)";
    const std::vector<std::string> expected = {head + "5 s" + refused,  head + "10 s" + refused,
                                               head + "20 s" + refused, head + "40 s" + refused,
                                               head + "60 s" + refused, head + "60 s" + refused,
                                               head + "60 s" + refused};
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7), expected);
    EXPECT_EQ(pool.connection_number(), 0u);
}

TEST(PoolConnection, OnlyAConnectionWithAJobResetsTheDelay) {
    TestServer server;
    Recorder recorder;
    Pool pool(held_at_once(1ms));
    recorder.attach(pool);
    pool.set_jitter(no_jitter);
    connect_and_login(pool, server, config_for(server.port()));

    // Refused twice: the connect itself does not reset the delay.
    ASSERT_TRUE(server.send(R"({"id":1,"error":"bad address"})" "\n"));
    ASSERT_TRUE(recorder.wait_for_log("login refused: bad address"));
    server.close_client();
    ASSERT_TRUE(recorder.wait_for_log("connection lost, reconnecting in 5 s"));
    ASSERT_TRUE(server.accept_client());
    ASSERT_TRUE(server.read_line().has_value());
    server.send(R"({"id":1,"error":"bad address"})" "\n");
    server.close_client();
    ASSERT_TRUE(recorder.wait_for_log("connection lost, reconnecting in 10 s"));

    // A job on the third connection brings the delay back to 5 s, and the
    // next failure to 10 s.
    ASSERT_TRUE(server.accept_client(2s));
    ASSERT_TRUE(server.read_line().has_value());
    server.send(job_line(9) + "\n");
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(9)));
    server.close_client();
    server.close_listener();
    ASSERT_TRUE(recorder.wait_for_log("cannot reach", 5s, true));
    pool.stop();

    const auto lost = recorder.with_prefix("connection lost");
    EXPECT_EQ(lost, (std::vector<std::string>{"connection lost, reconnecting in 5 s",
                                              "connection lost, reconnecting in 10 s",
                                              "connection lost, reconnecting in 5 s"}));
    EXPECT_EQ(recorder.with_prefix("cannot reach").front(),
              "cannot reach 127.0.0.1:" + std::to_string(server.port()) + ", retry in 10 s (connection refused)");
    EXPECT_EQ(pool.connection_number(), 3u);
}

TEST(PoolConnection, StopWhileConnectedIsPromptAndSilent) {
    TestServer server;
    Recorder recorder;
    Pool pool;
    recorder.attach(pool);
    connect_and_login(pool, server, config_for(server.port()));
    ASSERT_TRUE(server.send(job_line(1) + "\n"));
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(1)));
    ASSERT_TRUE(pool.current_job().valid);

    const std::size_t logged = recorder.logs().size();
    const auto start = Clock::now();
    pool.stop();
    EXPECT_LT(seconds_since(start), 1.2);
    EXPECT_EQ(recorder.logs().size(), logged);
    EXPECT_FALSE(pool.running());
    EXPECT_FALSE(pool.connected());
    EXPECT_FALSE(pool.current_job().valid);
    EXPECT_FALSE(pool.mineable_job().has_value());
    // The socket is gone: nothing more can be sent, and the server sees the close.
    EXPECT_FALSE(pool.send_line("late"));
    EXPECT_TRUE(server.wait_closed());
    // The thread is joined: a second stop has nothing to wait for.
    const auto again = Clock::now();
    pool.stop();
    EXPECT_LT(seconds_since(again), 0.1);
}

TEST(PoolConnection, StopWhileWaitingToRetryIsPrompt) {
    Recorder recorder;
    Pool pool;
    recorder.attach(pool);
    pool.start(config_for(closed_port()));
    ASSERT_TRUE(recorder.wait_for_log("cannot reach", 5s, true));
    std::this_thread::sleep_for(250ms);
    const auto start = Clock::now();
    pool.stop();
    EXPECT_LT(seconds_since(start), 0.3);
    EXPECT_EQ(recorder.logs().size(), 1u);
}

TEST(PoolConnection, StopInterruptsAConnectThatGetsNoAnswer) {
    // A listener whose accept queue is full drops further SYNs, so the
    // client's connect gets no answer at all, like a black-holed address.
    TestServer server;
    std::vector<int> fillers;
    for (int i = 0; i < 40; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(server.port());
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(200ms);

    Recorder recorder;
    Pool pool;
    recorder.attach(pool);
    pool.start(config_for(server.port()));
    std::this_thread::sleep_for(700ms);
    const bool hanging = recorder.logs().empty();
    const auto start = Clock::now();
    pool.stop();
    const double took = seconds_since(start);
    for (const int fd : fillers) ::close(fd);
    if (!hanging) GTEST_SKIP() << "this system answered the connect; nothing to interrupt";
    EXPECT_LT(took, 0.5);
    EXPECT_TRUE(recorder.logs().empty());
    EXPECT_EQ(pool.connection_number(), 0u);
}

TEST(PoolConnection, IdsContinueAndOldSharesStayOffNewConnections) {
    TestServer server;
    Recorder recorder;
    Pool pool;
    recorder.attach(pool);
    std::uint8_t hash[32] = {};
    Config config = config_for(server.port());
    config.difficulty_hint = 240;
    connect_and_login(pool, server, config);
    ASSERT_TRUE(server.send(job_line(1, "", 3000) + "\n"));
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(1, 3000)));
    const Job old_job = pool.current_job();

    for (int i = 0; i < 10; ++i) pool.submit_share(old_job.job_id, static_cast<std::uint64_t>(i), hash, old_job.connection);
    for (int i = 0; i < 10; ++i) {
        const auto line = server.read_line();
        ASSERT_TRUE(line.has_value());
        EXPECT_EQ(line->rfind("{\"id\":" + std::to_string(i + 2) + ",", 0), 0u) << *line;
    }

    // Fee switch: stop, new address, start. The login offers the last job's
    // difficulty; a share of the old connection is not sent; ids continue.
    pool.stop();
    config.address = "FEEaddr";
    config.worker = "nolu";
    pool.start(config);
    ASSERT_TRUE(server.accept_client());
    const auto login = server.read_line();
    ASSERT_TRUE(login.has_value());
    EXPECT_NE(login->find(R"("address":"FEEaddr","worker":"nolu")"), std::string::npos);
    EXPECT_NE(login->find(R"("difficulty_hint":3000})"), std::string::npos);
    ASSERT_TRUE(recorder.wait_for_count("connected to", 2));

    EXPECT_EQ(pool.config().address, "FEEaddr");
    EXPECT_EQ(pool.config().worker, "nolu");

    EXPECT_FALSE(pool.submit(old_job, 98, hash));  // refused before it takes an id
    EXPECT_FALSE(pool.submit_share(old_job.job_id, 99, hash, old_job.connection));
    EXPECT_TRUE(pool.submit_share("fresh", 100, hash, pool.connection_number()));
    const auto next = server.read_line();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->rfind(R"({"id":13,"method":"submit","params":{"job_id":"fresh","nonce":100,)", 0), 0u) << *next;
    pool.stop();
}

// What the mining threads see: a job only while the connection that delivered
// it is up, and shares only onto that connection.
TEST(PoolConnection, JobSourceServesOnlyTheLiveConnectionsJob) {
    TestServer server;
    Recorder recorder;
    Pool pool(1ms);
    recorder.attach(pool);
    pool.set_jitter(no_jitter);
    std::uint8_t hash[32] = {};
    EXPECT_FALSE(pool.mineable_job().has_value());
    connect_and_login(pool, server, config_for(server.port()));
    EXPECT_FALSE(pool.mineable_job().has_value());  // connected, but no job yet

    ASSERT_TRUE(server.send(job_line(1) + "\n"));
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(1)));
    const auto job = pool.mineable_job();
    ASSERT_TRUE(job.has_value());
    EXPECT_EQ(job->seq, 1u);
    EXPECT_EQ(job->connection, 1u);
    EXPECT_EQ(job->job_id, "j1");
    EXPECT_EQ(job->nonce_start, 1000u);
    EXPECT_TRUE(pool.submit(*job, 1234, hash));
    auto line = server.read_line();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->rfind(R"({"id":2,"method":"submit","params":{"job_id":"j1","nonce":1234,)", 0), 0u) << *line;

    // The connection drops: its job is no longer offered, nor taken on the next one.
    server.close_client();
    ASSERT_TRUE(recorder.wait_for_log("connection lost, reconnecting in 5 s"));
    EXPECT_FALSE(pool.mineable_job().has_value());
    // A share that cannot go out is not reported as sent (it is kept, without
    // an id, in case the next connection re-sends its job).
    EXPECT_FALSE(pool.submit(*job, 1235, hash));
    ASSERT_TRUE(server.accept_client());
    ASSERT_TRUE(server.read_line().has_value());
    ASSERT_EQ(pool.connection_number(), 2u);
    EXPECT_FALSE(pool.mineable_job().has_value());
    EXPECT_FALSE(pool.submit(*job, 1235, hash));

    ASSERT_TRUE(server.send(job_line(2) + "\n"));
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(2)));
    const auto fresh = pool.mineable_job();
    ASSERT_TRUE(fresh.has_value());
    EXPECT_EQ(fresh->seq, 2u);
    EXPECT_EQ(fresh->connection, 2u);
    EXPECT_TRUE(pool.submit(*fresh, 2000, hash));
    line = server.read_line();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->rfind(R"({"id":3,"method":"submit","params":{"job_id":"j2","nonce":2000,)", 0), 0u) << *line;
    pool.stop();
}

TEST(PoolConnection, ConcurrentSubmissionsStayWholeLines) {
    TestServer server;
    Recorder recorder;
    Pool pool;
    recorder.attach(pool);
    connect_and_login(pool, server, config_for(server.port()));

    constexpr int threads = 8;
    constexpr int per_thread = 250;
    const std::string job_id = "q\"x\x01" + std::string(300, 'z');
    std::vector<std::thread> submitters;
    for (int t = 0; t < threads; ++t) {
        submitters.emplace_back([&, t] {
            std::uint8_t hash[32];
            std::fill(std::begin(hash), std::end(hash), static_cast<std::uint8_t>(t));
            for (int i = 0; i < per_thread; ++i) pool.submit_share(job_id, (static_cast<std::uint64_t>(t) << 32) | static_cast<std::uint64_t>(i), hash);
        });
    }
    std::vector<bool> seen(2 + threads * per_thread, false);
    int good = 0;
    for (int n = 0; n < threads * per_thread; ++n) {
        const auto line = server.read_line();
        ASSERT_TRUE(line.has_value()) << "after " << n << " lines";
        JsonValue v;
        ASSERT_TRUE(json_parse(*line, v)) << *line;
        const JsonValue* params = json_find(v, "params");
        ASSERT_NE(params, nullptr);
        EXPECT_EQ(json_string_or(*params, "job_id", ""), job_id);
        const auto id = json_u64_or(v, "id", 0);
        ASSERT_GE(id, 2u);
        ASSERT_LT(id, seen.size());
        EXPECT_FALSE(seen[id]);
        seen[id] = true;
        const auto nonce = json_u64_or(*params, "nonce", ~std::uint64_t{0});
        const std::string hash_hex = json_string_or(*params, "claimed_hash", "");
        ASSERT_EQ(hash_hex.size(), 64u);
        EXPECT_EQ(hash_hex.substr(0, 2), std::string(1, '0') + "0123456789abcdef"[nonce >> 32]);
        ++good;
    }
    for (auto& t : submitters) t.join();
    EXPECT_EQ(good, threads * per_thread);
    pool.stop();
}

// A pool that accepts but stops reading fills the socket buffers; the
// submitting thread must neither hold up Pool::stop nor leave half a line
// that the next one is glued onto.
TEST(PoolConnection, APoolThatStopsReadingCannotHoldUpStop) {
    TestServer server;
    Recorder recorder;
    Pool pool;
    recorder.attach(pool);
    connect_and_login(pool, server, config_for(server.port()));
    ASSERT_TRUE(server.send(job_line(1) + "\n"));
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(1)));

    std::atomic<int> submitted{0};
    std::thread submitter([&] {
        std::uint8_t hash[32] = {};
        const std::string big_id(64 * 1024, 'b');
        for (int i = 0; i < 1000 && pool.connected(); ++i) {
            pool.submit_share(big_id, static_cast<std::uint64_t>(i), hash);
            submitted.fetch_add(1);
        }
    });
    // Wait until the submitter is stuck (no progress for a while).
    int last = -1;
    for (int i = 0; i < 100 && submitted.load() != last; ++i) {
        last = submitted.load();
        std::this_thread::sleep_for(300ms);
    }
    ASSERT_LT(submitted.load(), 1000);

    const auto start = Clock::now();
    pool.stop();
    EXPECT_LT(seconds_since(start), 0.5);
    submitter.join();

    // Every line-feed-terminated line the pool received is one whole message.
    const std::string received = server.read_until_closed(10s);
    std::size_t at = 0;
    int lines = 0;
    for (std::size_t end; (end = received.find('\n', at)) != std::string::npos; at = end + 1) {
        JsonValue v;
        ASSERT_TRUE(json_parse(std::string_view(received).substr(at, end - at), v)) << "line " << lines;
        ++lines;
    }
    EXPECT_GT(lines, 0);
}

TEST(PoolConnection, AStalledSendEndsTheConnectionAndReconnects) {
    TestServer server;
    Recorder recorder;
    Pool pool(2ms);  // stall limit: 100 steps
    recorder.attach(pool);
    pool.set_jitter(no_jitter);
    connect_and_login(pool, server, config_for(server.port()));
    ASSERT_TRUE(server.send(job_line(1) + "\n"));
    ASSERT_TRUE(recorder.wait_for_log(new_job_log(1)));

    std::thread submitter([&] {
        std::uint8_t hash[32] = {};
        const std::string big_id(64 * 1024, 'b');
        for (int i = 0; i < 2000 && pool.connection_number() == 1; ++i) pool.submit_share(big_id, 1, hash, 1);
    });
    ASSERT_TRUE(recorder.wait_for_log("connection lost, reconnecting in 5 s", 20s));
    submitter.join();
    server.close_client();
    ASSERT_TRUE(server.accept_client());
    ASSERT_TRUE(server.read_line().has_value());
    EXPECT_EQ(pool.connection_number(), 2u);
    pool.stop();
}
