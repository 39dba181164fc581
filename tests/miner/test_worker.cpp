// The mining thread against a fake engine and a fake job source: the nonce
// walk, restarts and idling, shares and block candidates, the benchmark, stop,
// the arena's life, the self-test and the re-check of shares.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hash/arena.hpp"
#include "hash/settings.hpp"
#include "miner/self_test.hpp"
#include "miner/worker.hpp"
#include "pool/job.hpp"
#include "tests/support/capture.hpp"

using namespace nolu::qxt;
using namespace std::chrono_literals;

namespace {

// The fake engine: records the header and nonce of every call and the arena it
// hashed in, and returns a hash chosen by the test (all 0x80 bytes unless the
// nonce is listed; the known record's tag for the known record, unless the
// test makes that wrong). The test may flip the top bit of the first hash of
// one nonce, as an unstable machine would.
std::mutex fake_mutex;
std::optional<std::uint64_t> fake_flip_nonce;
bool fake_known_wrong = false;
std::atomic<bool>* fake_stop_at_share = nullptr;  // set when a listed share's hash is done
std::vector<std::uint64_t> fake_nonces;
std::vector<std::string> fake_headers;
std::vector<std::pair<std::uint64_t, std::array<std::uint8_t, 32>>> fake_hashes;
const void* fake_arena_base = nullptr;
std::uint64_t fake_arena_bytes = 0;
std::uint64_t fake_arena_size = 0;
std::uint32_t fake_arena_skip_from = 0;

void fake_engine(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    EXPECT_NE(arena.base, nullptr);
    std::this_thread::sleep_for(2ms);
    std::lock_guard<std::mutex> lock(fake_mutex);
    fake_nonces.push_back(nonce);
    fake_headers.emplace_back(reinterpret_cast<const char*>(header), 92);
    fake_arena_base = arena.base;
    fake_arena_bytes = arena.mapped_bytes;
    fake_arena_size = arena.size;
    fake_arena_skip_from = arena.settings.skip_from;
    std::memset(out, 0x80, 32);
    for (const auto& [n, h] : fake_hashes) {
        if (n != nonce) continue;
        std::memcpy(out, h.data(), 32);
        if (fake_stop_at_share != nullptr) fake_stop_at_share->store(true);
    }
    if (nonce == known_record.nonce && std::memcmp(header, known_record.header.data(), 92) == 0) {
        std::memcpy(out, known_record.tag.data(), 32);
        if (fake_known_wrong) out[7] ^= 0x04;
    }
    if (fake_flip_nonce == nonce) {
        out[0] ^= 0x80;
        fake_flip_nonce.reset();
    }
}

std::vector<std::uint64_t> nonces_seen() {
    std::lock_guard<std::mutex> lock(fake_mutex);
    return fake_nonces;
}

void reset_fake_engine() {
    std::lock_guard<std::mutex> lock(fake_mutex);
    fake_nonces.clear();
    fake_headers.clear();
    fake_hashes.clear();
    fake_arena_base = nullptr;
    fake_arena_bytes = 0;
    fake_arena_size = 0;
    fake_arena_skip_from = 0;
    fake_flip_nonce.reset();
    fake_known_wrong = false;
    fake_stop_at_share = nullptr;
}

// msync fails with ENOMEM on a range that is not mapped: true when the first
// and the last page of a mapping are gone.
bool unmapped(const void* base, std::uint64_t mapped) {
    const long page = sysconf(_SC_PAGESIZE);
    auto* first = const_cast<void*>(base);
    auto* last = static_cast<char*>(first) + mapped - static_cast<std::uint64_t>(page);
    errno = 0;
    const bool first_gone = msync(first, static_cast<std::size_t>(page), MS_ASYNC) == -1 && errno == ENOMEM;
    errno = 0;
    const bool last_gone = msync(last, static_cast<std::size_t>(page), MS_ASYNC) == -1 && errno == ENOMEM;
    return first_gone && last_gone;
}

// The bytes of address space this process has mapped (0 if unknown).
rlim_t address_space_in_use() {
    long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
    std::fclose(statm);
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::array<std::uint8_t, 32> filled(std::uint8_t byte) {
    std::array<std::uint8_t, 32> a;
    a.fill(byte);
    return a;
}

// A job source the test drives: it serves the job the test published while
// "connected", and takes a share only when the job's connection is the one
// the test set as current, recording every attempt.
class FakeSource : public JobSource {
public:
    struct Submission {
        std::string job_id;
        std::uint64_t connection;
        std::uint64_t nonce;
        std::array<std::uint8_t, 32> hash;
        bool taken;
    };

    std::optional<Job> mineable_job() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requests_;
        if (!job_.valid || !connected_) return std::nullopt;
        return job_;
    }

    bool submit(const Job& job, std::uint64_t nonce, const std::uint8_t* hash) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Submission s{job.job_id, job.connection, nonce, {}, job.connection == connection_};
        std::memcpy(s.hash.data(), hash, 32);
        submissions_.push_back(s);
        return s.taken;
    }

    // A job of sequence number seq on the given connection (header bytes seq,
    // share target 0x40.., network target 0x10.., height 77).
    void publish(std::uint64_t seq, std::uint64_t start, std::uint64_t end, std::uint64_t connection = 1) {
        Job job;
        job.seq = seq;
        job.connection = connection;
        job.job_id = "job" + std::to_string(seq);
        job.header_base.fill(static_cast<std::uint8_t>(seq));
        job.target.fill(0x40);
        job.network_target.fill(0x10);
        job.height = 77;
        job.nonce_start = start;
        job.nonce_end = end;
        job.valid = true;
        publish(job);
    }
    void publish(const Job& job) {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = job;
    }
    Job job() {
        std::lock_guard<std::mutex> lock(mutex_);
        return job_;
    }
    void invalidate() {
        std::lock_guard<std::mutex> lock(mutex_);
        job_.valid = false;
    }
    void set_connected(bool up) {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = up;
    }
    void set_connection(std::uint64_t number) {
        std::lock_guard<std::mutex> lock(mutex_);
        connection_ = number;
    }
    std::vector<Submission> submissions() {
        std::lock_guard<std::mutex> lock(mutex_);
        return submissions_;
    }
    std::vector<std::uint64_t> taken_nonces() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::uint64_t> out;
        for (const auto& s : submissions_)
            if (s.taken) out.push_back(s.nonce);
        return out;
    }
    std::uint64_t requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    std::mutex mutex_;
    Job job_;
    bool connected_ = true;
    std::uint64_t connection_ = 1;
    std::uint64_t requests_ = 0;
    std::vector<Submission> submissions_;
};

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override { reset_fake_engine(); }
    void TearDown() override { stop_workers(); }

    WorkerParams params(int index, int threads, bool bench = false) {
        WorkerParams p;
        p.index = index;
        p.thread_count = threads;
        p.engine = fake_engine;
        p.self_test = false;  // the tests of the self-test switch it on
        p.stop = &stop_;
        p.counters = &counters_;
        p.thread_hashes = &hashes_;
        p.jobs = bench ? nullptr : &source_;
        p.on_candidate = [this](const Job& job) {
            std::lock_guard<std::mutex> lock(candidates_mutex_);
            candidates_.push_back(job);
        };
        return p;
    }

    void start_worker(int index, int threads, bool bench = false) { start_worker(params(index, threads, bench)); }
    void start_worker(WorkerParams p) { threads_.emplace_back(worker_main, std::move(p)); }

    void stop_workers() {
        stop_ = true;
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

    std::vector<Job> candidates() {
        std::lock_guard<std::mutex> lock(candidates_mutex_);
        return candidates_;
    }

    FakeSource source_;
    std::atomic<bool> stop_{false};
    StartupCounters counters_;
    std::atomic<std::uint64_t> hashes_{0};
    std::mutex candidates_mutex_;
    std::vector<Job> candidates_;
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
    source_.publish(1, 1000, ~0ull);
    start_worker(2, 4);
    ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 3; }));
    source_.publish(2, 5000, ~0ull);
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
    // Each hash used the header of the job it was taken from.
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        for (std::size_t j = 0; j < n.size(); ++j)
            EXPECT_EQ(fake_headers[j], std::string(92, static_cast<char>(j < k ? 1 : 2))) << j;
    }
    EXPECT_EQ(hashes_.load(), n.size());
    EXPECT_EQ(counters_.ready.load(), 1);
    EXPECT_EQ(counters_.failed.load(), 0);
}

TEST_F(WorkerTest, IdlesPastTheRangeEndUntilAnotherJob) {
    source_.publish(1, 1000, 1001);  // nothing for thread 2 of 4
    start_worker(2, 4);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(nonces_seen().empty());
    source_.publish(2, 2000, 2002);  // exactly one nonce for it
    ASSERT_TRUE(wait_until([] { return !nonces_seen().empty(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(nonces_seen(), (std::vector<std::uint64_t>{2002}));
}

TEST_F(WorkerTest, NeverWrapsPastTheTopOfTheNonceSpace) {
    const std::uint64_t top = ~0ull;
    source_.publish(1, top - 5, top);  // thread 2 of 4: top - 3, then the sum wraps to 0
    start_worker(2, 4);
    ASSERT_TRUE(wait_until([] { return !nonces_seen().empty(); }));
    std::this_thread::sleep_for(400ms);
    stop_workers();
    EXPECT_EQ(nonces_seen(), (std::vector<std::uint64_t>{top - 3}));
}

TEST_F(WorkerTest, IdlesWhileTheSourceOffersNoJob) {
    source_.publish(1, 0, ~0ull);
    source_.set_connected(false);
    start_worker(0, 1);
    ASSERT_TRUE(wait_until([this] { return source_.requests() >= 2; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(nonces_seen().empty());
    source_.set_connected(true);
    ASSERT_TRUE(wait_until([] { return !nonces_seen().empty(); }));
    source_.invalidate();
    std::this_thread::sleep_for(50ms);
    const std::size_t seen = nonces_seen().size();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(nonces_seen().size(), seen);
}

TEST_F(WorkerTest, SharesAndBlockCandidates) {
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_hashes = {{10, filled(0x40)},   // equal to the share target
                       {11, filled(0x41)},   // meets the network target, not the share target
                       {12, filled(0x05)}};  // meets both
    }
    // A network target above the share target: only hashes that meet both count.
    source_.publish(1, 10, 13);
    Job job = source_.job();
    job.network_target.fill(0x50);
    source_.publish(job);

    const std::string out = test::capture_stdout([&] {
        start_worker(0, 1);
        // Four hashes and the re-checks of the two shares.
        ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 6; }));
        std::this_thread::sleep_for(100ms);
        stop_workers();
    });
    const auto submissions = source_.submissions();
    ASSERT_EQ(submissions.size(), 2u);
    EXPECT_EQ(submissions[0].job_id, "job1");
    EXPECT_EQ(submissions[0].nonce, 10u);
    EXPECT_EQ(submissions[0].hash, filled(0x40));
    EXPECT_EQ(submissions[1].job_id, "job1");
    EXPECT_EQ(submissions[1].nonce, 12u);
    EXPECT_EQ(submissions[1].hash, filled(0x05));

    // Both submitted shares meet the network target: two candidates, each
    // with the job they came from. The worker itself prints nothing.
    const auto found = candidates();
    ASSERT_EQ(found.size(), 2u);
    for (const Job& c : found) {
        EXPECT_EQ(c.job_id, "job1");
        EXPECT_EQ(c.height, 77u);
    }
    EXPECT_EQ(out, "");
}

TEST_F(WorkerTest, CandidateOnlyWhenTheNetworkTargetIsMet) {
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_hashes = {{20, filled(0x40)}, {21, filled(0x10)}, {22, filled(0x11)}};
    }
    source_.publish(1, 20, 22);  // share target 0x40.., network target 0x10..
    start_worker(0, 1);
    ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 6; }));  // three shares, each re-checked
    std::this_thread::sleep_for(100ms);
    stop_workers();
    EXPECT_EQ(source_.taken_nonces(), (std::vector<std::uint64_t>{20, 21, 22}));
    ASSERT_EQ(candidates().size(), 1u);  // only 21 is at or under the network target
}

TEST_F(WorkerTest, ShareOfAnEarlierConnectionIsNotACandidate) {
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_hashes = {{5, filled(0x01)}};  // meets both targets
    }
    source_.publish(1, 5, 5, /*connection=*/1);
    source_.set_connection(2);  // reconnected since the job arrived
    const std::string out = test::capture_stdout([&] {
        start_worker(0, 1);
        ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 2; }));  // the hash and its re-check
        std::this_thread::sleep_for(100ms);
        stop_workers();
    });
    // The worker handed the share in with the job it was served, which the
    // source refused; a refused share is never reported as a candidate.
    const auto submissions = source_.submissions();
    ASSERT_EQ(submissions.size(), 1u);
    EXPECT_EQ(submissions[0].nonce, 5u);
    EXPECT_EQ(submissions[0].connection, 1u);
    EXPECT_FALSE(submissions[0].taken);
    EXPECT_TRUE(candidates().empty());
    EXPECT_EQ(out, "");
}

TEST_F(WorkerTest, BenchmarkHashesTheFixedHeaderWithoutASource) {
    start_worker(3, 4, /*bench=*/true);
    ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 3; }));
    stop_workers();
    const auto n = nonces_seen();
    for (std::size_t k = 0; k < n.size(); ++k) EXPECT_EQ(n[k], (3ull << 40) + k);
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        for (const auto& h : fake_headers) EXPECT_EQ(h, std::string(92, 'Z'));
    }
    EXPECT_EQ(hashes_.load(), n.size());
    EXPECT_EQ(source_.requests(), 0u);
}

TEST_F(WorkerTest, StopEndsEveryThreadAfterItsHash) {
    source_.publish(1, 0, ~0ull);
    std::atomic<std::uint64_t> own[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        WorkerParams p = params(i, 3);
        p.thread_hashes = &own[i];
        start_worker(std::move(p));
    }
    ASSERT_TRUE(wait_until([&] { return counters_.ready.load() == 3 && nonces_seen().size() >= 6; }));
    const auto t0 = std::chrono::steady_clock::now();
    stop_workers();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    // Every hash begun was finished and counted, in the total and by the thread that made it.
    const auto n = nonces_seen();
    EXPECT_EQ(own[0].load() + own[1].load() + own[2].load(), n.size());
    for (std::uint64_t i = 0; i < 3; ++i) {
        std::uint64_t mine = 0;
        for (const std::uint64_t nonce : n) mine += nonce % 3 == i ? 1 : 0;
        EXPECT_EQ(own[i].load(), mine) << i;
    }
}

TEST_F(WorkerTest, ArenaFollowsTheSettingsAndIsReleasedOnExit) {
    WorkerParams p = params(0, 1);
    p.settings = with_skip(HashSettings{}, 750, true);
    const std::uint64_t expected_size = arena_bytes(p.settings);
    ASSERT_LT(expected_size, full_arena_bytes);
    source_.publish(1, 0, ~0ull);
    start_worker(p);
    ASSERT_TRUE(wait_until([] { return !nonces_seen().empty(); }));
    stop_workers();

    const void* base = nullptr;
    std::uint64_t mapped = 0;
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        base = fake_arena_base;
        mapped = fake_arena_bytes;
        EXPECT_EQ(fake_arena_size, expected_size);
        EXPECT_EQ(fake_arena_skip_from, p.settings.skip_from);
    }
    ASSERT_NE(base, nullptr);
    ASSERT_GE(mapped, expected_size);
    // msync fails with ENOMEM on a range that is not mapped: the first and the
    // last page of the arena are gone once the thread has ended.
    const long page = sysconf(_SC_PAGESIZE);
    auto* first = const_cast<void*>(base);
    auto* last = static_cast<char*>(first) + mapped - static_cast<std::uint64_t>(page);
    errno = 0;
    EXPECT_EQ(msync(first, static_cast<std::size_t>(page), MS_ASYNC), -1);
    EXPECT_EQ(errno, ENOMEM);
    errno = 0;
    EXPECT_EQ(msync(last, static_cast<std::size_t>(page), MS_ASYNC), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(counters_.ready.load(), 1);
    EXPECT_EQ(counters_.failed.load(), 0);
}

// An arena that cannot be mapped: the thread counts itself failed and ends
// without hashing or asking for work. Run in a child process whose address
// space is capped below one arena.
TEST_F(WorkerTest, AFailedArenaIsCountedAndTheThreadEnds) {
    const rlim_t in_use = address_space_in_use();
    ASSERT_GT(in_use, 0u);
    source_.publish(1, 0, ~0ull);
    WorkerParams p = params(0, 1);
    std::fflush(nullptr);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for what the process already holds and some growth, not for 2 GiB more.
        const rlimit cap{in_use + (rlim_t{256} << 20), in_use + (rlim_t{256} << 20)};
        if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(10);
        worker_main(p);
        int code = 0;
        if (counters_.failed.load() != 1) code |= 1;
        if (counters_.ready.load() != 0) code |= 2;
        if (hashes_.load() != 0 || !nonces_seen().empty()) code |= 4;
        if (source_.requests() != 0) code |= 8;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    const int code = WEXITSTATUS(status);
    ASSERT_NE(code, 10) << "cannot cap the address space";
    EXPECT_EQ(code & 1, 0) << "the failure was not counted";
    EXPECT_EQ(code & 2, 0) << "the thread counted itself ready";
    EXPECT_EQ(code & 4, 0) << "the thread hashed without an arena";
    EXPECT_EQ(code & 8, 0) << "the thread asked for work without an arena";
}

// An unstable machine: the first hash of nonce 11 comes out with one bit
// flipped and looks like a share. Its re-check disagrees, so it never reaches
// the pool; the error is reported with the job and the nonce, and mining goes
// on: the next good share goes out.
TEST_F(WorkerTest, AFlippedBitIsWithheldCountedAndMiningGoesOn) {
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_hashes = {{10, filled(0x05)}, {12, filled(0x06)}};  // two real shares around it
        fake_flip_nonce = 11;                                      // 0x80.. becomes 0x00 80..
    }
    source_.publish(1, 10, 13);
    std::mutex errors_mutex;
    std::vector<std::pair<std::string, std::uint64_t>> errors;
    WorkerParams p = params(0, 1);
    p.on_hardware_error = [&](const Job& job, std::uint64_t nonce) {
        std::lock_guard<std::mutex> lock(errors_mutex);
        errors.emplace_back(job.job_id, nonce);
    };
    const std::string out = test::capture_stdout([&] {
        start_worker(p);
        ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 7; }));
        std::this_thread::sleep_for(100ms);
        stop_workers();
    });
    // Every share-looking hash was computed twice; nothing else was.
    EXPECT_EQ(nonces_seen(), (std::vector<std::uint64_t>{10, 10, 11, 11, 12, 12, 13}));
    EXPECT_EQ(hashes_.load(), 4u);  // re-checks are not hashes of the speed figures
    {
        std::lock_guard<std::mutex> lock(errors_mutex);
        EXPECT_EQ(errors, (std::vector<std::pair<std::string, std::uint64_t>>{{"job1", 11}}));
    }
    const auto submissions = source_.submissions();
    ASSERT_EQ(submissions.size(), 2u);
    EXPECT_EQ(submissions[0].nonce, 10u);
    EXPECT_EQ(submissions[0].hash, filled(0x05));
    EXPECT_EQ(submissions[1].nonce, 12u);
    EXPECT_EQ(submissions[1].hash, filled(0x06));
    EXPECT_EQ(candidates().size(), 2u);  // both meet the network target 0x10..
    EXPECT_EQ(out, "");
}

// With the re-check off (--no-recheck) every hash is computed once, and the
// flipped one goes out: what the re-check is there to stop.
TEST_F(WorkerTest, WithoutTheRecheckSharesGoOutAfterOneHash) {
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_hashes = {{10, filled(0x05)}};
        fake_flip_nonce = 11;
    }
    source_.publish(1, 10, 12);
    WorkerParams p = params(0, 1);
    p.recheck = false;
    bool error_reported = false;
    p.on_hardware_error = [&](const Job&, std::uint64_t) { error_reported = true; };
    start_worker(p);
    ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 3; }));
    std::this_thread::sleep_for(100ms);
    stop_workers();
    EXPECT_EQ(nonces_seen(), (std::vector<std::uint64_t>{10, 11, 12}));
    EXPECT_EQ(source_.taken_nonces(), (std::vector<std::uint64_t>{10, 11}));
    EXPECT_FALSE(error_reported);
}

// A share whose hash ends after the stop was asked for: no second hash to
// hold the stop up, and nothing handed in to a pool client going down.
TEST_F(WorkerTest, AShareFoundWhileStoppingIsDroppedWithoutARecheck) {
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_hashes = {{10, filled(0x05)}};
        fake_stop_at_share = &stop_;
    }
    source_.publish(1, 10, 20);
    start_worker(0, 1);
    ASSERT_TRUE(wait_until([] { return !nonces_seen().empty(); }));
    stop_workers();
    EXPECT_EQ(nonces_seen(), std::vector<std::uint64_t>{10});
    EXPECT_TRUE(source_.submissions().empty());
}

TEST_F(WorkerTest, SelfTestHashesTheKnownRecordBeforeAnyWork) {
    source_.publish(1, 500, ~0ull);
    WorkerParams p = params(0, 1);
    p.self_test = true;
    bool failure_reported = false;
    p.on_self_test_failure = [&] { failure_reported = true; };
    start_worker(p);
    ASSERT_TRUE(wait_until([] { return nonces_seen().size() >= 3; }));
    stop_workers();
    const auto n = nonces_seen();
    EXPECT_EQ(n[0], known_record.nonce);
    EXPECT_EQ(n[1], 500u);
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        EXPECT_EQ(fake_headers[0], std::string(known_record.header.begin(), known_record.header.end()));
    }
    EXPECT_EQ(hashes_.load(), n.size() - 1);  // the self-test is not a mined hash
    EXPECT_EQ(counters_.ready.load(), 1);
    EXPECT_EQ(counters_.self_test_failed.load(), 0);
    EXPECT_FALSE(failure_reported);
}

// A wrong self-test hash: the thread reports it, releases its arena, counts
// itself and ends without asking for work; it never counts as ready.
TEST_F(WorkerTest, AWrongSelfTestStopsTheThreadAndReleasesItsArena) {
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_known_wrong = true;
    }
    source_.publish(1, 0, ~0ull);
    WorkerParams p = params(0, 1);
    p.self_test = true;
    std::atomic<int> reports{0};
    int failed_when_reported = -1;
    p.on_self_test_failure = [&] {
        failed_when_reported = counters_.self_test_failed.load();
        reports.fetch_add(1);
    };
    start_worker(p);
    ASSERT_TRUE(wait_until([this] { return counters_.self_test_failed.load() == 1; }));
    stop_workers();
    EXPECT_EQ(reports.load(), 1);
    EXPECT_EQ(failed_when_reported, 0);  // reported before it is counted: main waits on the count
    EXPECT_EQ(counters_.ready.load(), 0);
    EXPECT_EQ(counters_.failed.load(), 0);
    EXPECT_EQ(counters_.huge.load(), 0);
    EXPECT_EQ(hashes_.load(), 0u);
    EXPECT_EQ(source_.requests(), 0u);
    EXPECT_EQ(nonces_seen(), std::vector<std::uint64_t>{known_record.nonce});
    std::lock_guard<std::mutex> lock(fake_mutex);
    ASSERT_NE(fake_arena_base, nullptr);
    EXPECT_TRUE(unmapped(fake_arena_base, fake_arena_bytes));
}

namespace {

// The fake lane engine: each lane goes through the fake engine (so its nonce,
// header and hash are recorded and chosen the same way); every call's nonces
// are kept as one group.
std::vector<std::vector<std::uint64_t>> fake_groups;

void fake_lanes(const LaneWork* lanes, unsigned n) {
    std::vector<std::uint64_t> group;
    for (unsigned k = 0; k < n; ++k) {
        fake_engine(*lanes[k].arena, lanes[k].header, lanes[k].nonce, lanes[k].out);
        group.push_back(lanes[k].nonce);
    }
    std::lock_guard<std::mutex> lock(fake_mutex);
    fake_groups.push_back(group);
}

std::vector<std::vector<std::uint64_t>> groups_seen() {
    std::lock_guard<std::mutex> lock(fake_mutex);
    return fake_groups;
}

class LaneWorkerTest : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_groups.clear();
    }
    WorkerParams lane_params(int index, int threads, int lanes, bool bench = false) {
        WorkerParams p = params(index, threads, bench);
        p.lanes = lanes;
        p.hash_lanes = fake_lanes;
        return p;
    }
};

using Groups = std::vector<std::vector<std::uint64_t>>;

}  // namespace

TEST_F(LaneWorkerTest, EachCallHashesTheThreadsNextSteps) {
    source_.publish(1, 1000, ~0ull);
    start_worker(lane_params(1, 2, 3));
    ASSERT_TRUE(wait_until([] { return groups_seen().size() >= 2; }));
    stop_workers();
    const Groups g = groups_seen();
    EXPECT_EQ(g[0], (std::vector<std::uint64_t>{1001, 1003, 1005}));
    EXPECT_EQ(g[1], (std::vector<std::uint64_t>{1007, 1009, 1011}));
    // Every whole call is counted; one that a stop may have cut short is not.
    EXPECT_TRUE(hashes_.load() == 3 * g.size() || hashes_.load() == 3 * (g.size() - 1)) << hashes_.load();
    EXPECT_EQ(counters_.ready.load(), 1);
    EXPECT_EQ(counters_.arenas.load(), 3);
    // Three arenas, one per lane.
    std::lock_guard<std::mutex> lock(fake_mutex);
    EXPECT_EQ(fake_arena_size, full_arena_bytes);
}

TEST_F(LaneWorkerTest, TheRangeEndCutsACallShortAndEveryLaneSettlesItsOwnShare) {
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_hashes = {{1002, filled(0x30)},   // a share
                       {1008, filled(0x05)}};  // a share and a block candidate
    }
    source_.publish(1, 1000, 1008);  // thread 0 of 2: 1000 to 1008, five steps
    start_worker(lane_params(0, 2, 3));
    ASSERT_TRUE(wait_until([] { return groups_seen().size() >= 2; }));
    std::this_thread::sleep_for(300ms);
    stop_workers();
    EXPECT_EQ(groups_seen(), (Groups{{1000, 1002, 1004}, {1006, 1008}}));
    const auto submissions = source_.submissions();
    ASSERT_EQ(submissions.size(), 2u);
    EXPECT_EQ(submissions[0].nonce, 1002u);
    EXPECT_EQ(submissions[0].hash, filled(0x30));
    EXPECT_EQ(submissions[1].nonce, 1008u);
    EXPECT_EQ(submissions[1].hash, filled(0x05));
    EXPECT_EQ(submissions[1].job_id, "job1");
    EXPECT_EQ(candidates().size(), 1u);
    EXPECT_EQ(hashes_.load(), 5u);

    // The next job starts the walk again from its own start.
    source_.publish(2, 2000, ~0ull);
    stop_ = false;
    start_worker(lane_params(0, 2, 3));
    ASSERT_TRUE(wait_until([] { return groups_seen().size() >= 3; }));
    stop_workers();
    EXPECT_EQ(groups_seen()[2], (std::vector<std::uint64_t>{2000, 2002, 2004}));
}

TEST_F(LaneWorkerTest, OneStepLeftUsesTheOneLaneEngine) {
    source_.publish(1, 7, 7);
    start_worker(lane_params(0, 1, 2));
    ASSERT_TRUE(wait_until([] { return !nonces_seen().empty(); }));
    std::this_thread::sleep_for(300ms);
    stop_workers();
    EXPECT_EQ(nonces_seen(), (std::vector<std::uint64_t>{7}));
    EXPECT_TRUE(groups_seen().empty());
}

TEST_F(LaneWorkerTest, BenchmarkLanesTakeConsecutiveNonces) {
    start_worker(lane_params(3, 4, 2, /*bench=*/true));
    ASSERT_TRUE(wait_until([] { return groups_seen().size() >= 2; }));
    stop_workers();
    const Groups g = groups_seen();
    const std::uint64_t base = 3ull << 40;
    EXPECT_EQ(g[0], (std::vector<std::uint64_t>{base, base + 1}));
    EXPECT_EQ(g[1], (std::vector<std::uint64_t>{base + 2, base + 3}));
    EXPECT_EQ(source_.requests(), 0u);
}

// Room for one arena but not for two: the thread with two lanes gives back
// the one it got, counts itself failed and hashes nothing.
TEST_F(LaneWorkerTest, ThreadWithoutAllItsArenasFails) {
    const rlim_t in_use = address_space_in_use();
    ASSERT_GT(in_use, 0u);
    source_.publish(1, 0, ~0ull);
    WorkerParams p = lane_params(0, 1, 2);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlim_t room = in_use + full_arena_bytes + (rlim_t{256} << 20);
        const rlimit cap{room, room};
        if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(10);
        worker_main(p);
        int code = 0;
        if (counters_.failed.load() != 1) code |= 1;
        if (counters_.ready.load() != 0 || counters_.arenas.load() != 0) code |= 2;
        if (hashes_.load() != 0 || !nonces_seen().empty()) code |= 4;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const int code = WEXITSTATUS(status);
    ASSERT_NE(code, 10) << "cannot cap the address space";
    EXPECT_EQ(code, 0) << "failed counted: " << !(code & 1) << ", no arenas counted: " << !(code & 2)
                       << ", nothing hashed: " << !(code & 4);
}

// With lanes the self-test goes through the lane entry, the known record in
// every arena; one wrong lane stops the thread.
TEST_F(LaneWorkerTest, SelfTestRunsInEveryLane) {
    source_.publish(1, 500, ~0ull);
    WorkerParams p = lane_params(0, 1, 3);
    p.self_test = true;
    start_worker(p);
    ASSERT_TRUE(wait_until([] { return groups_seen().size() >= 2; }));
    stop_workers();
    const std::uint64_t known = known_record.nonce;
    EXPECT_EQ(groups_seen()[0], (std::vector<std::uint64_t>{known, known, known}));
    EXPECT_EQ(groups_seen()[1], (std::vector<std::uint64_t>{500, 501, 502}));
    EXPECT_EQ(counters_.ready.load(), 1);

    reset_fake_engine();
    {
        std::lock_guard<std::mutex> lock(fake_mutex);
        fake_groups.clear();
        fake_known_wrong = true;
    }
    counters_.ready = 0;
    counters_.arenas = 0;
    stop_ = false;
    start_worker(p);
    ASSERT_TRUE(wait_until([this] { return counters_.self_test_failed.load() == 1; }));
    stop_workers();
    EXPECT_EQ(groups_seen().size(), 1u);
    EXPECT_EQ(counters_.ready.load(), 0);
    EXPECT_EQ(counters_.arenas.load(), 0);
    std::lock_guard<std::mutex> lock(fake_mutex);
    EXPECT_TRUE(unmapped(fake_arena_base, fake_arena_bytes));
}
