// The fee switch driven tick by tick, as the main loop drives it: which
// configuration each reconnect carries, and when.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/fee.hpp"

using namespace nolu::qxt;

namespace {

struct Reconnect {
    std::uint64_t second;
    Config config;
    std::string line;
};

std::vector<Reconnect> run_schedule(std::uint64_t seconds) {
    Config user;
    user.host = "pool.example";
    user.port = 4444;
    user.address = "QXuser";
    user.worker = "rig7";
    user.difficulty_hint = 120;
    std::vector<Reconnect> seen;
    std::uint64_t now = 0;
    FeeSwitch fee(
        user, [&](const Config& c) { seen.push_back({now, c, ""}); },
        [&](const char* line) {
            ASSERT_FALSE(seen.empty()) << "announced without a reconnect";
            seen.back().line = line;
        });
    for (now = 1; now <= seconds; ++now) fee.tick(now);
    return seen;
}

}  // namespace

TEST(FeeSwitch, OneMinuteInEveryHundredThenBackToTheUser) {
    const std::vector<Reconnect> seen = run_schedule(12500);
    ASSERT_EQ(seen.size(), 4u);
    const std::uint64_t expected_seconds[] = {5940, 6000, 11940, 12000};
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const Reconnect& r = seen[i];
        EXPECT_EQ(r.second, expected_seconds[i]);
        const bool fee = i % 2 == 0;
        EXPECT_EQ(r.config.address, fee ? fee_address : "QXuser") << r.second;
        EXPECT_EQ(r.config.worker, fee ? fee_worker : "rig7") << r.second;
        EXPECT_EQ(r.line, fee ? "1% dev contribution (1 min)" : "back to user wallet");
        // The pool and the hint never change with the payee.
        EXPECT_EQ(r.config.host, "pool.example");
        EXPECT_EQ(r.config.port, 4444);
        EXPECT_EQ(r.config.difficulty_hint, 120);
    }
}

TEST(FeeSwitch, NothingHappensBeforeTheFirstFeeMinute) {
    EXPECT_TRUE(run_schedule(5939).empty());
}

TEST(FeeSwitch, ALateTickStillSwitchesOnceEachWay) {
    // A main loop that wakes late (a suspended machine) sees the state, not the edges.
    Config user;
    user.address = "QXuser";
    int reconnects = 0;
    Config last;
    FeeSwitch fee(user, [&](const Config& c) { ++reconnects, last = c; }, [](const char*) {});
    fee.tick(10);
    fee.tick(5950);
    EXPECT_TRUE(fee.in_fee());
    fee.tick(5955);
    fee.tick(9000);
    EXPECT_FALSE(fee.in_fee());
    EXPECT_EQ(reconnects, 2);
    EXPECT_EQ(last.address, "QXuser");
}

TEST(FeeSwitch, NewUserSettingsDuringTheFeeMinuteGoToTheMakerOnTheNewPool) {
    Config user;
    user.address = "QXuser";
    std::vector<Config> seen;
    FeeSwitch fee(user, [&](const Config& c) { seen.push_back(c); }, [](const char*) {});
    fee.tick(5940);
    user.host = "c.example";
    fee.set_user(user);  // a reload
    fee.tick(6000);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].host + " " + seen[1].address, "c.example " + std::string(fee_address));
    EXPECT_EQ(seen[2].host + " " + seen[2].address, "c.example QXuser");
}
