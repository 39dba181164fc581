#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/console.hpp"
#include "miner/worker.hpp"
#include "pool/pool.hpp"
#include "tests/support/capture.hpp"

using namespace nolu::qxt;
using namespace std::chrono_literals;

namespace {

// The fake engine: records the header and nonce of every call and returns a
// hash chosen by the test (all 0x80 bytes unless the nonce is listed).
std::mutex fake_mutex;
std::vector<std::uint64_t> fake_nonces;
std::vector<std::string> fake_headers;
std::vector<std::pair<std::uint64_t, std::array<std::uint8_t, 32>>> fake_hashes;

void fake_engine(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    EXPECT_NE(arena.base, nullptr);
    std::this_thread::sleep_for(2ms);
    std::lock_guard<std::mutex> lock(fake_mutex);
    fake_nonces.push_back(nonce);
    fake_headers.emplace_back(reinterpret_cast<const char*>(header), 92);
    std::memset(out, 0x80, 32);
    for (const auto& [n, h] : fake_hashes)
        if (n == nonce) std::memcpy(out, h.data(), 32);
}

std::vector<std::uint64_t> nonces_seen() {
    std::lock_guard<std::mutex> lock(fake_mutex);
    return fake_nonces;
}

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_nonces.clear();
        fake_headers.clear();
        fake_hashes.clear();
        stop_flag = false;
        colours = LogColours{};
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        pool_.sock = fds_[0];
        pool_.connected = true;
        pool_.connection_count = 1;
    }
    void TearDown() override {
        stop_workers();
        {
            std::lock_guard<std::mutex> lock(pool_.send_mutex);
            pool_.sock = -1;
        }
        close(fds_[0]);
        close(fds_[1]);
        stop_flag = false;
    }

    void publish(std::uint64_t seq, std::uint64_t start, std::uint64_t end, std::uint64_t connection = 1) {
        std::lock_guard<std::mutex> lock(pool_.job_mutex);
        pool_.job.seq = seq;
        pool_.job.connection = connection;
        pool_.job.job_id = "job" + std::to_string(seq);
        pool_.job.header_base.fill(static_cast<std::uint8_t>(seq));
        pool_.job.target.fill(0x40);
        pool_.job.network_target.fill(0x10);
        pool_.job.height = 77;
        pool_.job.nonce_start = start;
        pool_.job.nonce_end = end;
        pool_.job.valid = true;
    }

    void start_worker(int index, int threads, int bench = 0) {
        WorkerParams p;
        p.index = index;
        p.cpus = &cpus_;
        p.counters = &counters_;
        p.bench_seconds = bench;
        p.engine = fake_engine;
        p.hashes = &hashes_;
        p.pool = bench ? nullptr : &pool_;
        p.thread_count = threads;
        threads_.emplace_back(worker_main, p);
    }

    void stop_workers() {
        stop_flag = true;
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

    // Lines the pool client wrote to its socket.
    std::string wire() {
        std::string data;
        char buf[4096];
        for (;;) {
            const ssize_t n = recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            data.append(buf, static_cast<std::size_t>(n));
        }
        return data;
    }

    Pool pool_;
    int fds_[2] = {-1, -1};
    std::vector<int> cpus_;
    StartupCounters counters_;
    std::atomic<std::uint64_t> hashes_{0};
    std::vector<std::thread> threads_;
};

}  // namespace

TEST(NonceWalk, ThreadsInterleave) {
    EXPECT_EQ(job_nonce(1000, ~0ull, 2, 4, 0), 1002u);
    EXPECT_EQ(job_nonce(1000, ~0ull, 2, 4, 1), 1006u);
    EXPECT_EQ(job_nonce(1000, ~0ull, 2, 4, 2), 1010u);
    EXPECT_EQ(job_nonce(1000, 1010, 2, 4, 2), 1010u);  // the end is inclusive
    EXPECT_EQ(job_nonce(1000, 1009, 2, 4, 2), std::nullopt);
    EXPECT_EQ(job_nonce(1000, 1001, 2, 4, 0), std::nullopt);
}

TEST(NonceWalk, WrapAtTheTopIsOutOfRange) {
    const std::uint64_t top = ~0ull;
    EXPECT_EQ(job_nonce(top - 5, top, 1, 4, 1), top);
    EXPECT_EQ(job_nonce(top - 5, top, 2, 4, 1), std::nullopt);  // would be 0
    EXPECT_EQ(job_nonce(top, top, 0, 1, 0), top);
    EXPECT_EQ(job_nonce(top, top, 0, 1, 1), std::nullopt);
    EXPECT_EQ(bench_nonce(0, 5), 5u);
    EXPECT_EQ(bench_nonce(3, 7), (3ull << 40) + 7);
}

TEST_F(WorkerTest, WalksItsShareAndRestartsOnANewJob) {
    publish(1, 1000, ~0ull);
    start_worker(2, 4);
    ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 3; }));
    publish(2, 5000, ~0ull);
    ASSERT_TRUE(wait_until([] {
        const auto n = nonces_seen();
        return !n.empty() && n.back() >= 5006;
    }));
    stop_workers();
    const auto n = nonces_seen();
    EXPECT_EQ(n[0], 1002u);
    EXPECT_EQ(n[1], 1006u);
    EXPECT_EQ(n[2], 1010u);
    // After the new job: 5002, 5006, ... with nothing skipped or repeated.
    std::size_t k = 0;
    while (n[k] < 5000) {
        EXPECT_EQ(n[k], 1002u + 4 * k);
        ++k;
    }
    for (std::size_t j = k; j < n.size(); ++j) EXPECT_EQ(n[j], 5002u + 4 * (j - k));
    EXPECT_EQ(hashes_.load(), n.size());
    EXPECT_EQ(counters_.ready.load(), 1);
    EXPECT_EQ(counters_.failed.load(), 0);
}

TEST_F(WorkerTest, IdlesPastTheRangeEndUntilAnotherJob) {
    publish(1, 1000, 1001);  // nothing for thread 2 of 4
    start_worker(2, 4);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(nonces_seen().empty());
    publish(2, 2000, 2002);  // exactly one nonce for it
    ASSERT_TRUE(wait_until([] { return !nonces_seen().empty(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(nonces_seen(), (std::vector<std::uint64_t>{2002}));
}

TEST_F(WorkerTest, IdlesWhileTheJobIsInvalidOrTheConnectionIsDown) {
    publish(1, 0, ~0ull);
    pool_.connected = false;
    start_worker(0, 1);
    std::this_thread::sleep_for(400ms);
    EXPECT_TRUE(nonces_seen().empty());
    pool_.connected = true;
    ASSERT_TRUE(wait_until([] { return !nonces_seen().empty(); }));
    {
        std::lock_guard<std::mutex> lock(pool_.job_mutex);
        pool_.job.valid = false;
    }
    std::this_thread::sleep_for(50ms);
    const std::size_t seen = nonces_seen().size();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(nonces_seen().size(), seen);
}

TEST_F(WorkerTest, SharesBlocksAndTheConnectionGuard) {
    std::array<std::uint8_t, 32> equal_to_target;
    equal_to_target.fill(0x40);
    std::array<std::uint8_t, 32> network_only;  // meets the network target, not the share target
    network_only.fill(0x41);
    std::array<std::uint8_t, 32> block;
    block.fill(0x05);
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_hashes = {{10, equal_to_target}, {11, network_only}, {12, block}};
    }
    publish(1, 10, 13);
    {
        // A network target above the share target: only hashes that meet both count.
        std::lock_guard<std::mutex> lock(pool_.job_mutex);
        pool_.job.network_target.fill(0x50);
    }
    const std::string out = test::capture_stdout([&] {
        start_worker(0, 1);
        ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 4; }));
        std::this_thread::sleep_for(100ms);
        stop_workers();
    });
    auto repeat = [](const char* pair) {
        std::string s;
        for (int i = 0; i < 32; ++i) s += pair;
        return s;
    };
    const std::string lines = wire();
    EXPECT_NE(lines.find("\"job_id\":\"job1\",\"nonce\":10,\"claimed_hash\":\"" + repeat("40") + "\""),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("\"job_id\":\"job1\",\"nonce\":12,\"claimed_hash\":\"" + repeat("05") + "\""),
              std::string::npos)
        << lines;
    EXPECT_EQ(lines.find("\"nonce\":11"), std::string::npos);
    EXPECT_EQ(lines.find("\"nonce\":13"), std::string::npos);
    EXPECT_EQ(out, " block candidate found at height 77\n block candidate found at height 77\n");
}

TEST_F(WorkerTest, ShareOfAnEarlierConnectionIsDropped) {
    std::array<std::uint8_t, 32> good;
    good.fill(0x01);
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_hashes = {{5, good}};
    }
    publish(1, 5, 5, /*connection=*/1);
    pool_.connection_count = 2;  // reconnected since the job arrived
    const std::string out = test::capture_stdout([&] {
        start_worker(0, 1);
        ASSERT_TRUE(wait_until([] { return !nonces_seen().empty(); }));
        std::this_thread::sleep_for(100ms);
        stop_workers();
    });
    EXPECT_EQ(wire(), "");
    EXPECT_EQ(out, "");
}

TEST_F(WorkerTest, BenchmarkHashesTheFixedHeaderWithoutAPool) {
    start_worker(3, 4, /*bench=*/5);
    ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 3; }));
    stop_workers();
    const auto n = nonces_seen();
    for (std::size_t k = 0; k < n.size(); ++k) EXPECT_EQ(n[k], (3ull << 40) + k);
    std::lock_guard<std::mutex> lock(fake_mutex);
    for (const auto& h : fake_headers) EXPECT_EQ(h, std::string(92, 'Z'));
}

TEST_F(WorkerTest, StopEndsEveryThreadAfterItsHash) {
    publish(1, 0, ~0ull);
    for (int i = 0; i < 3; ++i) start_worker(i, 3);
    ASSERT_TRUE(wait_until([&] { return counters_.ready.load() == 3 && nonces_seen().size() >= 6; }));
    const auto t0 = std::chrono::steady_clock::now();
    stop_workers();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(hashes_.load(), nonces_seen().size());
}
