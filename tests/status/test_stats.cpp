#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "console/console.hpp"
#include "app/fee.hpp"
#include "status/stats.hpp"
#include "tests/support/capture.hpp"

using namespace nolu::qxt;
using nolu::qxt::test::capture_stdout;
namespace fs = std::filesystem;

TEST(RateRing, WindowsBeforeAndAfterTheyFill) {
    RateRing ring;
    EXPECT_EQ(ring.rate(10), 0.0);
    ring.sample(3);
    EXPECT_EQ(ring.rate(10), 3.0);
    EXPECT_EQ(ring.rate(900), 3.0);
    for (int s = 1; s < 10; ++s) ring.sample(1);
    // At the first speed line the 15-minute figure equals the 10-second one.
    EXPECT_DOUBLE_EQ(ring.rate(10), 12.0 / 10);
    EXPECT_DOUBLE_EQ(ring.rate(60), ring.rate(10));
    EXPECT_DOUBLE_EQ(ring.rate(900), ring.rate(10));
    for (int s = 10; s < 60; ++s) ring.sample(2);
    EXPECT_DOUBLE_EQ(ring.rate(10), 2.0);
    EXPECT_DOUBLE_EQ(ring.rate(60), (12.0 + 100.0) / 60);
    EXPECT_DOUBLE_EQ(ring.rate(900), ring.rate(60));
}

TEST(RateRing, WrapsAfterNineHundredAndOneSeconds) {
    RateRing ring;
    ring.sample(1000000);  // the first second falls out of the 15-minute window
    for (int s = 1; s < 901; ++s) ring.sample(4);
    EXPECT_DOUBLE_EQ(ring.rate(900), 4.0);
    EXPECT_DOUBLE_EQ(ring.rate(901), (1000000.0 + 900 * 4) / 901);
    for (int s = 0; s < 2000; ++s) ring.sample(static_cast<std::uint64_t>(s % 7));
    double sum = 0;
    for (int s = 2000 - 10; s < 2000; ++s) sum += s % 7;
    EXPECT_DOUBLE_EQ(ring.rate(10), sum / 10);
    EXPECT_EQ(ring.samples(), 2901u);
}

TEST(Stats, SpeedLineAndRateText) {
    MinerSnapshot s;
    s.rates = {2.5, 2.25, 2.125};
    EXPECT_EQ(format_speed_line(s), "10s/60s/15m  2.50 H/s / 2.25 H/s / 2.12 H/s   parts 0/0");
    s.accepted = 12;
    s.rejected = 3;
    EXPECT_EQ(format_speed_line(s), "10s/60s/15m  2.50 H/s / 2.25 H/s / 2.12 H/s   parts 12/3");
    EXPECT_EQ(rate_text(0.0), "0.00 H/s");
    EXPECT_EQ(rate_text(1234.567), "1234.57 H/s");
}

// The existing fields keep their bytes and order; "hw_errors" and the
// fields of this version follow them.
TEST(Stats, StatsLineExactBytes) {
    MinerSnapshot s;
    s.version = "v1.0.2";
    s.rates.s60 = 2.345;
    s.accepted = 7;
    s.rejected = 1;
    s.uptime_s = 3600;
    EXPECT_EQ(format_stats_json(s),
              "{\"hashrate_hs\":2.35,\"accepted\":7,\"rejected\":1,\"uptime_s\":3600,\"version\":\"v1.0.2\","
              "\"algo\":\"argon2id-qxt\",\"hw_errors\":0,\"threads\":0,\"thread_hs\":[],\"paused\":false}\n");
    s.rates.s60 = 0;
    s.accepted = 18446744073709551615ull;
    s.rejected = s.uptime_s = 0;
    s.hw_errors = 3;
    s.threads = 2;
    s.per_thread = {{10, {9, 1.255, 9}}, {20, {9, 1.0, 9}}};
    s.pool = PoolFacts{};
    s.pool->in_use = "pool.example:3358";
    s.pool->connected = true;
    s.pool->tls = true;
    s.paused = true;
    EXPECT_EQ(format_stats_json(s),
              "{\"hashrate_hs\":0.00,\"accepted\":18446744073709551615,\"rejected\":0,\"uptime_s\":0,"
              "\"version\":\"v1.0.2\",\"algo\":\"argon2id-qxt\",\"hw_errors\":3,\"threads\":2,\"thread_hs\":[1.25,1.00],"
              "\"pool\":\"pool.example:3358\",\"pool_connected\":true,\"pool_tls\":true,\"paused\":true}\n");
}

TEST(Stats, FileIsReplacedWhole) {
    const fs::path dir = fs::temp_directory_path() / ("qxt-stats-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "stats.json").string();
    write_stats_file(path, "first\n");
    write_stats_file(path, "second\n");
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "second\n");
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    // A folder that does not exist: nothing written, nothing reported.
    write_stats_file((dir / "missing" / "stats.json").string(), "x\n");
    EXPECT_FALSE(fs::exists(dir / "missing"));
    fs::remove_all(dir);
}

TEST(Stats, ALinkAtTheTemporaryNameIsNotWrittenThrough) {
    const fs::path dir = fs::temp_directory_path() / ("qxt-stats-link-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "stats.json").string();
    std::ofstream(dir / "victim") << "precious\n";
    fs::create_symlink(dir / "victim", path + ".tmp");
    write_stats_file(path, "{}\n");
    std::ifstream in(dir / "victim");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "precious");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    fs::remove_all(dir);
}

TEST(Stats, ShareVerdictLines) {
    colours = LogColours{};
    ShareCounters shares;
    const std::string out = capture_stdout([&] {
        record_share(shares, true, "OK");
        record_share(shares, false, "stale");
        record_share(shares, true, "");
        record_share(shares, false, "");
    });
    EXPECT_EQ(out, " share accepted (1/0)\n share REJECTED — stale\n share accepted (2/1)\n share REJECTED — \n");
    EXPECT_EQ(shares.accepted.load(), 2u);
    EXPECT_EQ(shares.rejected.load(), 2u);
}

// Every rejection is counted under one reason of the bounded set, and the
// snapshot lists them all, in order, with the time of the last acceptance.
TEST(Stats, RejectionsByReasonAndTheLastAcceptance) {
    const std::pair<const char*, RejectReason> texts[] = {
        {"Stale share", RejectReason::stale},          {"unknown job", RejectReason::stale},
        {"Job not found", RejectReason::stale},        {"block expired", RejectReason::stale},
        {"duplicate share", RejectReason::duplicate},  {"Share already submitted", RejectReason::duplicate},
        {"low difficulty share", RejectReason::low_difficulty},
        {"Low diff", RejectReason::low_difficulty},    {"high-hash", RejectReason::low_difficulty},
        {"bad claimed_hash", RejectReason::invalid},   {"Invalid nonce", RejectReason::invalid},
        {"hash mismatch", RejectReason::invalid},      {"", RejectReason::other},
        {"banned", RejectReason::other},               {"badger", RejectReason::other},
    };
    for (const auto& [text, reason] : texts) EXPECT_EQ(classify_reject(text), reason) << text;

    colours = LogColours{};
    ShareCounters shares;
    const std::int64_t before = std::time(nullptr);
    capture_stdout([&] {
        for (const char* reason : {"stale", "unknown job", "duplicate share", "whatever", "low difficulty share"})
            record_share(shares, false, reason);
        record_share(shares, true, "");
    });
    MinerSnapshot s;
    add_share_facts(s, shares);
    EXPECT_EQ(s.rejected, 5u);
    EXPECT_EQ(s.accepted, 1u);
    const std::vector<std::pair<std::string, std::uint64_t>> expected = {
        {"stale", 2}, {"duplicate", 1}, {"low_difficulty", 1}, {"invalid", 0}, {"other", 1}};
    EXPECT_EQ(s.rejected_by_reason, expected);
    EXPECT_GE(s.last_accepted_s, before);
    EXPECT_LE(s.last_accepted_s, std::time(nullptr));
}

TEST(Fee, OneMinuteInEveryHundred) {
    EXPECT_FALSE(fee_period(0));
    EXPECT_FALSE(fee_period(5939));
    EXPECT_TRUE(fee_period(5940));
    EXPECT_TRUE(fee_period(5999));
    EXPECT_FALSE(fee_period(6000));
    EXPECT_FALSE(fee_period(11939));
    EXPECT_TRUE(fee_period(11940));
    EXPECT_FALSE(fee_period(12000));
    int fee_seconds = 0;
    for (std::uint64_t s = 0; s < 60000; ++s) fee_seconds += fee_period(s);
    EXPECT_EQ(fee_seconds, 600);  // 1 %
}

TEST(Fee, AddressHasTheUsersFormat) {
    EXPECT_EQ(std::string(fee_address).size(), 93u);
    EXPECT_EQ(std::string(fee_address).substr(0, 2), "QX");
    EXPECT_STREQ(fee_worker, "nolu");
}

TEST(BenchMeter, EveryHashOnceWhateverTheLength) {
    // 1000 s: 99 s at 2 H/s, then 901 s at 1 H/s. The ring holds the last
    // 901 s only; the benchmark's figure must cover all 1000.
    RateRing ring;
    BenchMeter meter({500}, 7'000'000'000ull);
    std::uint64_t hashes = 500;
    for (int s = 0; s < 1000; ++s) {
        const std::uint64_t now = s < 99 ? 2 : 1;
        hashes += now;
        ring.sample(now);
    }
    const std::uint64_t end = 7'000'000'000ull + 1000ull * 1'000'000'000ull;
    meter.close({hashes}, end);  // a thread that never settles counts to the deadline
    EXPECT_DOUBLE_EQ(meter.rate(), (99.0 * 2 + 901.0) / 1000);
    // The ring's own figure for a window past its size no longer counts
    // slots twice: it is the mean of the seconds it holds.
    EXPECT_DOUBLE_EQ(ring.rate(1000), 1.0);
    BenchMeter instant({500}, 7'000'000'000ull);
    instant.close({500}, 7'000'000'000ull);
    EXPECT_EQ(instant.rate(), 0.0);
}

TEST(BenchMeter, EachThreadUpToTheEndOfItsLastBatch) {
    // Four lanes, a batch of 4 every 2.5 s from t = 0: at the 5 s deadline
    // thread 0 has counted 8 and ends its third batch at 7.5 s; thread 1
    // mapped no arena and never hashes; thread 2 ended a batch at 5 s.
    constexpr std::uint64_t s = 1'000'000'000ull;
    BenchMeter meter({0, 0, 100}, 10 * s);
    meter.close({8, 0, 108}, 15 * s);
    EXPECT_FALSE(meter.settled());
    meter.settle({8, 0, 108}, 16 * s);
    meter.settle({12, 0, 108}, 17 * s + s / 2);  // thread 0's batch ends
    EXPECT_FALSE(meter.settled());               // thread 2 is in its batch
    meter.settle({16, 0, 112}, 20 * s);          // thread 0's next batch is not counted
    EXPECT_TRUE(meter.settled());
    EXPECT_DOUBLE_EQ(meter.rate(), 12.0 / 7.5 + 12.0 / 10);
}
