// Hardware errors as the user sees them: the red line and the count, the
// speed line's suffix, the statistics file's field, and the warning when
// errors keep coming within an hour.
#include <gtest/gtest.h>

#include "app/hardware_errors.hpp"
#include "status/stats.hpp"
#include "tests/support/capture.hpp"

using namespace nolu::qxt;

TEST(HardwareErrors, EachIsCountedAndLoggedWithThreadJobAndNonce) {
    ShareCounters shares;
    Job job;
    job.job_id = "job-7";
    const std::string out = test::capture_stdout([&] {
        record_hardware_error(shares, 1, job, 18446744073709551615ull);
        record_hardware_error(shares, 0, job, 42);
    });
    EXPECT_EQ(shares.hw_errors.load(), 2u);
    EXPECT_EQ(shares.accepted.load() + shares.rejected.load(), 0u);
    EXPECT_EQ(out,
              " hw    thread 1: nonce 18446744073709551615 of job job-7 hashed twice with different results — share "
              "withheld (hardware error)\n"
              " hw    thread 0: nonce 42 of job job-7 hashed twice with different results — share withheld "
              "(hardware error)\n");
}

TEST(HardwareErrors, SpeedLineAndStatisticsFile) {
    MinerSnapshot s;
    s.version = "v1.0.2";
    s.rates = {2, 2, 2};
    s.accepted = 5;
    s.rejected = 1;
    // Without errors the speed line is the one readers have always parsed.
    const std::string line = format_speed_line(s);
    EXPECT_EQ(line + hardware_error_suffix(0), "10s/60s/15m  2.00 H/s / 2.00 H/s / 2.00 H/s   parts 5/1");
    EXPECT_EQ(line + hardware_error_suffix(3), "10s/60s/15m  2.00 H/s / 2.00 H/s / 2.00 H/s   parts 5/1   hw 3");
    // The field follows the older ones, which keep their bytes and order.
    s.rates.s60 = 2.5;
    s.uptime_s = 60;
    s.hw_errors = 3;
    EXPECT_EQ(format_stats_json(s).rfind("{\"hashrate_hs\":2.50,\"accepted\":5,\"rejected\":1,\"uptime_s\":60,"
                                         "\"version\":\"v1.0.2\",\"algo\":\"argon2id-qxt\",\"hw_errors\":3,\"threads\":",
                                         0),
              0u);
    s.rates.s60 = 1e6;
    s.accepted = s.rejected = s.uptime_s = s.hw_errors = ~0ull;
    const std::string top = format_stats_json(s);
    EXPECT_NE(top.find(",\"hw_errors\":18446744073709551615,\"threads\":"), std::string::npos) << top;
}

TEST(HardwareErrors, WarnsOnTheThirdWithinAnHourAndAtMostHourly) {
    HardwareErrorWatch watch;
    EXPECT_FALSE(watch.tick(100, 0));
    EXPECT_FALSE(watch.tick(101, 1));
    EXPECT_FALSE(watch.tick(2000, 2));
    EXPECT_TRUE(watch.tick(3700, 3));   // 3 errors within 3599 s
    EXPECT_FALSE(watch.tick(3701, 3));  // once, not every second
    EXPECT_FALSE(watch.tick(4000, 6));  // still within the hour of the warning
    EXPECT_TRUE(watch.tick(7300, 9));   // an hour later, errors keep coming
    EXPECT_FALSE(watch.tick(7301, 9));
}

TEST(HardwareErrors, ScatteredErrorsNeverWarn) {
    HardwareErrorWatch watch;
    // Two an hour for a day: never three inside one hour.
    std::uint64_t total = 0;
    for (std::uint64_t t = 1; t < 24 * 3600; ++t) {
        if (t % 1800 == 0) ++total;
        EXPECT_FALSE(watch.tick(t, total)) << t;
    }
    // Three in the same second do.
    EXPECT_TRUE(watch.tick(24 * 3600, total + 3));
    EXPECT_NE(unstable_machine_warning().find("unstable"), std::string::npos);
}
