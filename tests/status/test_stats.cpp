#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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
    RateRing ring;
    for (int s = 0; s < 10; ++s) ring.sample(s < 5 ? 2 : 3);
    EXPECT_EQ(format_speed_line(ring, 0, 0), "10s/60s/15m  2.50 H/s / 2.50 H/s / 2.50 H/s   parts 0/0");
    EXPECT_EQ(format_speed_line(ring, 12, 3), "10s/60s/15m  2.50 H/s / 2.50 H/s / 2.50 H/s   parts 12/3");
    EXPECT_EQ(rate_text(0.0), "0.00 H/s");
    EXPECT_EQ(rate_text(1234.567), "1234.57 H/s");
}

// The existing fields keep their bytes and order; "hw_errors" follows them.
TEST(Stats, StatsLineExactBytes) {
    EXPECT_EQ(format_stats_json(2.345, 7, 1, 3600),
              "{\"hashrate_hs\":2.35,\"accepted\":7,\"rejected\":1,\"uptime_s\":3600,\"version\":\"v1.0.2\","
              "\"algo\":\"argon2id-qxt\",\"hw_errors\":0}\n");
    EXPECT_EQ(format_stats_json(0, 18446744073709551615ull, 0, 0),
              "{\"hashrate_hs\":0.00,\"accepted\":18446744073709551615,\"rejected\":0,\"uptime_s\":0,"
              "\"version\":\"v1.0.2\",\"algo\":\"argon2id-qxt\",\"hw_errors\":0}\n");
    // The mining loop adds whether the pool in use is TLS, last.
    EXPECT_EQ(format_stats_json(1, 2, 3, 4, 5, true),
              "{\"hashrate_hs\":1.00,\"accepted\":2,\"rejected\":3,\"uptime_s\":4,\"version\":\"v1.0.2\","
              "\"algo\":\"argon2id-qxt\",\"hw_errors\":5,\"pool_tls\":true}\n");
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

TEST(Stats, FailedWriteKeepsTheLastGoodFile) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    const fs::path dir = fs::temp_directory_path() / ("qxt-stats-full-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "stats.json").string();
    write_stats_file(path, "good\n");
    // The .tmp file is a link to a device that is always full: the write fails.
    fs::create_symlink("/dev/full", path + ".tmp");
    write_stats_file(path, "never seen\n");
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "good");
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
    const BenchMeter meter(500, 7'000'000'000ull);
    std::uint64_t hashes = 500;
    for (int s = 0; s < 1000; ++s) {
        const std::uint64_t now = s < 99 ? 2 : 1;
        hashes += now;
        ring.sample(now);
    }
    const std::uint64_t end = 7'000'000'000ull + 1000ull * 1'000'000'000ull;
    EXPECT_DOUBLE_EQ(meter.rate(hashes, end), (99.0 * 2 + 901.0) / 1000);
    // The ring's own figure for a window past its size no longer counts
    // slots twice: it is the mean of the seconds it holds.
    EXPECT_DOUBLE_EQ(ring.rate(1000), 1.0);
    EXPECT_EQ(meter.rate(hashes, 7'000'000'000ull), 0.0);
}
