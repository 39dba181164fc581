// A soak: the primary pool flaps for a few minutes (serves jobs, drops the
// connection, refuses the login, stays silent, goes down, resets mid-job,
// re-sends its job) while a backup pool serves steadily and fake mining
// threads submit shares as fast as jobs allow. The client must keep its
// descriptors, threads and memory flat, and every share must reach the
// pool whose job it was.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sanitizers.hpp"
#include "common/json.hpp"
#include "pool/pool.hpp"
#include "pool_test_util.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// make test runs 30 s; make soak sets QXT_SOAK_SECONDS for the long run.
constexpr int default_seconds = 30;
#if defined(QXT_SANITIZED_BUILD)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

std::size_t count_entries(const char* dir) {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++n;
    }
    return n;
}

long resident_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// One fake pool on its own thread. Job ids start with the pool's tag and
// are unique to the connection that got them, unless a job is re-sent.
class SoakPool {
public:
    SoakPool(char tag, bool flapping) : tag_(tag), flapping_(flapping) {}
    ~SoakPool() { stop(); }
    void start() { thread_ = std::thread([this] { run(); }); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::uint16_t port() const { return server_.port(); }

    std::atomic<long> shares{0};
    std::atomic<long> foreign{0};  // shares naming a job this pool never sent
    std::atomic<long> logins{0};

private:
    bool accept(std::chrono::milliseconds timeout) {
        if (!server_.accept_client(timeout)) return false;
        if (!server_.read_line(1s)) return false;
        logins.fetch_add(1);
        return true;
    }
    std::string send_job(bool again = false) {
        if (!again) last_job_ = std::string(1, tag_) + "-" + std::to_string(++jobs_);
        server_.send(job_line(jobs_ % 200 + 1, last_job_) + "\n");
        sent_.push_back(last_job_);
        return last_job_;
    }
    // Reads and answers shares for the time given, sending a new job every
    // job_every; false when the client went away.
    bool serve_for(std::chrono::milliseconds time, std::chrono::milliseconds job_every) {
        const auto end = Clock::now() + time;
        auto next_job = Clock::now() + job_every;
        while (!stop_ && Clock::now() < end) {
            const auto line = server_.read_line(10ms);
            if (server_.client_closed()) return false;
            if (line) {
                JsonValue v;
                if (json_parse(*line, v) && json_string_or(v, "method", "") == "submit") {
                    shares.fetch_add(1);
                    const JsonValue* params = json_find(v, "params");
                    const std::string id = params != nullptr ? json_string_or(*params, "job_id", "") : "";
                    if (std::find(sent_.begin(), sent_.end(), id) == sent_.end()) foreign.fetch_add(1);
                    server_.send(R"({"id":)" + std::to_string(json_u64_or(v, "id", 0)) + R"(,"status":"OK"})" "\n");
                }
            }
            if (Clock::now() >= next_job) {
                send_job();
                next_job = Clock::now() + job_every;
            }
            if (sent_.size() > 4096) sent_.erase(sent_.begin(), sent_.begin() + 2048);
        }
        return true;
    }
    void wait_gone(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (!stop_ && Clock::now() < end && !server_.client_closed()) server_.read_line(10ms);
    }

    void run() {
        int phase = 0;
        while (!stop_) {
            if (!flapping_) {
                if (accept(100ms)) {
                    send_job();
                    while (!stop_ && serve_for(100ms, 300ms)) {
                    }
                }
                continue;
            }
            switch (phase++ % 7) {
                case 0:  // serve, then drop the connection
                    if (accept(1s)) {
                        send_job();
                        serve_for(800ms, 200ms);
                    }
                    server_.close_client();
                    break;
                case 1:  // refuse the login, keeping the connection open
                    for (int i = 0; i < 3 && !stop_; ++i) {
                        if (!accept(500ms)) break;
                        server_.send(R"({"id":1,"error":"unknown address"})" "\n");
                        wait_gone(1s);
                    }
                    break;
                case 2:  // say nothing
                    if (accept(1s)) wait_gone(1s);
                    break;
                case 3:  // down
                    server_.close_client();
                    server_.close_listener();
                    std::this_thread::sleep_for(700ms);
                    server_.reopen();
                    break;
                case 4:  // serve, then vanish with a reset
                    if (accept(1s)) {
                        send_job();
                        serve_for(500ms, 200ms);
                        linger hard{1, 0};
                        ::setsockopt(server_.client_fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                    }
                    server_.close_client();
                    break;
                case 5:  // serve, drop, and re-send the same job to the next connection
                    if (accept(1s)) {
                        send_job();
                        serve_for(300ms, 1h);
                        server_.close_client();
                        if (accept(1s)) {
                            send_job(true);
                            serve_for(300ms, 1h);
                        }
                    }
                    server_.close_client();
                    break;
                default:  // a long good spell, so the client comes back to it
                    if (accept(1s)) {
                        send_job();
                        serve_for(1500ms, 300ms);
                    }
                    server_.close_client();
                    break;
            }
        }
        server_.close_client();
    }

    TestServer server_;
    char tag_;
    bool flapping_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::string> sent_;  // this thread only
    std::string last_job_;
    std::uint64_t jobs_ = 0;
};

struct SoakResult {
    long foreign = 0;  // shares that reached a pool that never sent their job
};

// Runs the two pools, the client and its mining threads for `seconds` and
// checks what can be checked while they are alive.
SoakResult run_soak(int seconds) {
    SoakResult result;
    SoakPool primary('P', true), backup('B', false);
    primary.start();
    backup.start();
    std::atomic<long> verdicts{0}, switches{0}, returns{0};
    // The test's short time-outs, with a shorter wait for a job and a slower
    // return to the primary (the addresses are numeric: nothing is resolved).
    PoolTiming timing = fast_timing();
    timing.job_timeout = 250ms;
    timing.primary_retry = 400ms;
    Pool pool(timing);
    pool.set_callbacks(
        [&](const std::string& line) {
            if (line.rfind("switching to backup", 0) == 0) switches.fetch_add(1);
            if (line.find("gives jobs again") != std::string::npos || line.rfind("switching back", 0) == 0)
                returns.fetch_add(1);
        },
        [&](bool, const std::string&) { verdicts.fetch_add(1); });
    Config config = config_for(primary.port());
    config.backups.push_back(Endpoint{"127.0.0.1", backup.port()});
    const std::size_t threads_before = count_entries("/proc/self/task");
    pool.start(config);

    std::atomic<bool> done{false};
    std::vector<std::thread> miners;
    for (int t = 0; t < 3; ++t) {
        miners.emplace_back([&, t] {
            std::uint8_t hash[32] = {};
            std::uint64_t nonce = static_cast<std::uint64_t>(t) << 40;
            while (!done.load()) {
                if (const std::optional<Job> job = pool.mineable_job()) pool.submit(*job, nonce++, hash);
                std::this_thread::sleep_for(3ms);
            }
        });
    }

    const auto start = Clock::now();
    const auto warm = start + std::chrono::seconds(seconds / 5);
    const auto end = start + std::chrono::seconds(seconds);
    std::size_t fd_baseline = 0, fd_peak = 0, thread_peak = 0;
    long rss_baseline = 0, rss_last = 0;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(500ms);
        const std::size_t fds = count_entries("/proc/self/fd");
        const std::size_t threads = count_entries("/proc/self/task");
        if (Clock::now() < warm) continue;
        if (rss_baseline == 0) {
            rss_baseline = resident_kib();
            fd_baseline = fds;
        }
        fd_peak = std::max(fd_peak, fds);
        thread_peak = std::max(thread_peak, threads);
        rss_last = resident_kib();
    }
    done = true;
    for (auto& m : miners) m.join();
    pool.stop();
    primary.stop();
    backup.stop();

    std::printf("[measure] soak %d s: %ld logins at the primary, %ld at the backup; %ld shares at the primary, "
                "%ld at the backup; %ld failovers, %ld returns; descriptors %zu..%zu, threads at most %zu; "
                "resident %ld -> %ld KiB\n",
                seconds, primary.logins.load(), backup.logins.load(), primary.shares.load(), backup.shares.load(),
                switches.load(), returns.load(), fd_baseline, fd_peak, thread_peak, rss_baseline, rss_last);
    // The flapping was seen and lived through, both ways.
    EXPECT_GE(switches.load(), seconds / 10);  // a cycle of the primary's moods takes about 6 s
    EXPECT_GE(returns.load(), seconds / 10);
    EXPECT_GT(primary.shares.load(), 100);
    EXPECT_GT(backup.shares.load(), 100);
    EXPECT_GT(verdicts.load(), 100);
    // Flat: beyond the baseline at most a probe's connection and the
    // servers' side of it come and go.
    EXPECT_LE(fd_peak, fd_baseline + 4);
    EXPECT_LE(thread_peak, threads_before + 3 + 2);  // the miners, the connection thread and a probe
    if (!sanitized) {
        EXPECT_LT(rss_last - rss_baseline, 4096);
    }
    result.foreign = primary.foreign.load() + backup.foreign.load();
    return result;
}

}  // namespace

TEST(Soak, AFlappingPrimaryLeavesNothingBehind) {
    const char* override_seconds = std::getenv("QXT_SOAK_SECONDS");
    const int seconds = override_seconds != nullptr ? std::max(10, std::atoi(override_seconds)) : default_seconds;
    // A first thread, so a sanitizer's own helper thread exists before the count.
    std::thread([] {}).join();
    const std::size_t fds_before = count_entries("/proc/self/fd");
    const std::size_t threads_before = count_entries("/proc/self/task");
    const SoakResult result = run_soak(seconds);
    // Every share reached the pool whose job it was.
    EXPECT_EQ(result.foreign, 0);
    // Nothing of the client is left: no descriptor, no thread.
    EXPECT_EQ(count_entries("/proc/self/fd"), fds_before);
    EXPECT_EQ(count_entries("/proc/self/task"), threads_before);
}
