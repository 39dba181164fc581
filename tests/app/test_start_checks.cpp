// The start-up self-test as the benchmark and mining runs go through it: real
// threads and arenas, fake engine rows, so no 2 GiB hashing. A row that is
// always wrong stops every thread and ends the run with status 1;
// --no-self-test skips it; a thread that fails leaves the others mining.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "app/run_loop.hpp"
#include "app/self_test_report.hpp"
#include "console/signals.hpp"
#include "status/board.hpp"
#include "hash/side_cache.hpp"
#include "miner/self_test.hpp"
#include "tests/support/capture.hpp"

using namespace nolu::qxt;

namespace {

bool any_processor(const IsaSupport&) { return true; }
Status nothing_to_prepare(HashSettings&) { return success(); }

bool is_known(const std::uint8_t* header, std::uint64_t nonce) {
    return nonce == known_record.nonce && std::memcmp(header, known_record.header.data(), header_bytes) == 0;
}

// Right for the known record, 0x80 bytes for everything else (a millisecond
// each, so the benchmark's threads do not spin).
void good_engine(const Arena&, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    std::memset(out, 0x80, hash_bytes);
    if (is_known(header, nonce)) {
        std::memcpy(out, known_record.tag.data(), hash_bytes);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void wrong_engine(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    good_engine(arena, header, nonce, out);
    out[hash_bytes - 1] ^= 1;
}

// Wrong on its first call only: one thread of several fails its self-test.
std::atomic<int> flaky_calls{0};
void flaky_engine(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    if (flaky_calls.fetch_add(1) == 0) {
        wrong_engine(arena, header, nonce, out);
    } else {
        good_engine(arena, header, nonce, out);
    }
}

constexpr EngineRow good_row{"good", any_processor, "", false, false, nothing_to_prepare, good_engine, nullptr, nullptr, nullptr, {}};
constexpr EngineRow wrong_row{"wrong", any_processor, "", false, false, nothing_to_prepare, wrong_engine, nullptr,
                              nullptr, nullptr, {}};
constexpr EngineRow flaky_row{"flaky", any_processor, "", false, false, nothing_to_prepare, flaky_engine, nullptr,
                              nullptr, nullptr, {}};

struct BenchRun {
    int status = -1;
    std::string out;
};

// A benchmark of one second on `threads` unpinned threads with full arenas.
BenchRun bench(const EngineRow& row, int threads, Options options = {}, HashSettings settings = {}) {
    Setup setup;
    options.bench = 1;
    setup.engine = &row;
    MiningPlan plan;
    plan.bench = true;
    plan.bench_seconds = 1;
    plan.self_test = options.self_test;
    plan.threads = threads;
    plan.settings = settings;
    BenchRun run;
    stop_flag.store(false);
    StatusBoard board;
    run.out = test::capture_stdout([&] { run.status = run_benchmark(setup, plan, board); });
    stop_flag.store(false);
    return run;
}

bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

}  // namespace

TEST(StartChecks, AnEngineThatIsAlwaysWrongStopsEveryThreadAndTheRun) {
    const BenchRun r = bench(wrong_row, 2);
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string cause =
        " stopped: self-test hash WRONG with engine wrong · full arena — the processor or memory is unstable "
        "(overclock, undervolt, heat?)\n";
    EXPECT_TRUE(has(r.out, " check thread 0" + cause)) << r.out;
    EXPECT_TRUE(has(r.out, " check thread 1" + cause)) << r.out;
    EXPECT_TRUE(has(r.out, " pages 0 arena(s) in reserved 1 GiB pages, 0 in reserved 2 MiB pages, 0 in transparent"))
        << r.out;
    const std::string last = " check self-test failed on every thread: not mining with a machine that computes wrong hashes\n";
    ASSERT_GE(r.out.size(), last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last) << r.out;
    EXPECT_FALSE(has(r.out, " bench ")) << r.out;
}

TEST(StartChecks, NoSelfTestSkipsIt) {
    Options options;
    options.self_test = false;
    const BenchRun r = bench(wrong_row, 1, options);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, " check self-test skipped (--no-self-test)\n")) << r.out;
    EXPECT_TRUE(has(r.out, " bench 1 threads: ")) << r.out;
    EXPECT_FALSE(has(r.out, "WRONG")) << r.out;

    // The skip-store probe hashes wrong by design: never self-tested.
    const BenchRun probe = bench(wrong_row, 1, {}, with_skip(HashSettings{}, 600, false));
    EXPECT_EQ(probe.status, 0) << probe.out;
    EXPECT_TRUE(has(probe.out, " check self-test skipped: --skip-norebuild computes wrong hashes\n")) << probe.out;
}

TEST(StartChecks, PassedOnEveryThreadOrGoingOnWithThoseThatPassed) {
    BenchRun r = bench(good_row, 2);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, " check self-test passed on 2 threads · engine good · full arena\n")) << r.out;
    EXPECT_TRUE(has(r.out, " bench 2 threads: ")) << r.out;

    flaky_calls = 0;
    r = bench(flaky_row, 2);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, " stopped: self-test hash WRONG with engine flaky · full arena")) << r.out;
    EXPECT_TRUE(has(r.out, " check self-test passed on 1 of 2 threads · engine flaky · full arena — going on with 1 "
                           "thread\n"))
        << r.out;
    // The red line comes before the summary, which comes before the benchmark.
    EXPECT_LT(r.out.find("WRONG"), r.out.find("passed on 1 of 2"));
    EXPECT_LT(r.out.find("passed on 1 of 2"), r.out.find(" bench "));
}

TEST(StartChecks, TheCheckLineNamesTheMemoryOptions) {
    SidePlan side;
    side.slots = 1024;
    HashSettings settings = with_skip(HashSettings{}, 600, true);
    settings.reft = true;
    settings.side = &side;
    EXPECT_EQ(describe_hashing(good_row, settings),
              "engine good · skip-store from 600 ‰ · side cache 1024 slots · reference table");
    HashSettings side_only;
    side_only.side = &side;
    EXPECT_EQ(describe_hashing(good_row, side_only), "engine good · full arena · side cache 1024 slots");
    EXPECT_EQ(describe_hashing(good_row, side_only, 3), "engine good · full arena · side cache 1024 slots · 3 lanes");
    EXPECT_EQ(self_test_failure_line(3, 7, "engine good · full arena"),
              "thread 3 (cpu 7) stopped: self-test hash WRONG with engine good · full arena — the processor or "
              "memory is unstable (overclock, undervolt, heat?)");
}
