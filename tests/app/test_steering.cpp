// Steering a run, piece by piece: the thermal limit's hysteresis and its
// sensor check, the pause reasons behind the threads' one flag, and what a
// reload applies, keeps and names for a restart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/pause_control.hpp"
#include "app/reload.hpp"
#include "app/thermal.hpp"
#include "tests/support/capture.hpp"

using namespace nolu::qxt;
namespace fs = std::filesystem;

namespace {

using Change = ThermalLimit::Change;

struct SensorTree {
    fs::path root = fs::temp_directory_path() / ("qxt-sensors-" + std::to_string(getpid()));
    SensorTree() { fs::remove_all(root); }
    ~SensorTree() { fs::remove_all(root); }
    void chip(const std::string& hwmon, const std::string& name, const std::vector<std::string>& inputs) const {
        const fs::path dir = root / "sys/class/hwmon" / hwmon;
        fs::create_directories(dir);
        std::ofstream(dir / "name") << name << "\n";
        for (std::size_t i = 0; i < inputs.size(); ++i)
            std::ofstream(dir / ("temp" + std::to_string(i + 1) + "_input")) << inputs[i] << "\n";
    }
};

}  // namespace

TEST(ThermalLimit, PausesAtTheLimitAndResumesFiveDegreesBelow) {
    ThermalLimit limit(80);
    EXPECT_EQ(limit.reading(79.9), Change::none);
    EXPECT_EQ(limit.reading(80.0), Change::pause);
    EXPECT_EQ(limit.reading(90.0), Change::none);  // one pause, however hot
    EXPECT_EQ(limit.reading(std::nullopt), Change::none);
    EXPECT_TRUE(limit.hot());  // a lost reading holds the state
    EXPECT_EQ(limit.reading(75.1), Change::none);
    EXPECT_EQ(limit.reading(75.0), Change::resume);
    EXPECT_FALSE(limit.hot());
    EXPECT_EQ(limit.reading(79.0), Change::none);
    EXPECT_EQ(limit.line(Change::pause, 81.4), "CPU at 81 °C, limit 80 °C: hashing paused until 75 °C");
    EXPECT_EQ(limit.line(Change::resume, 74.6), "CPU cooled to 75 °C: hashing resumed");
}

TEST(PauseControl, ARequestAndTheThermalLimitHoldTheThreadsApart) {
    PauseControl pause;
    const std::atomic<bool>& hold = *pause.hold_flag();
    const std::string out = test::capture_stdout([&] {
        EXPECT_TRUE(pause.request_pause(true, "HTTP"));
        EXPECT_TRUE(pause.request_pause(true, "SIGUSR1"));  // repeated: no second line
        pause.set_thermal(true);
        EXPECT_TRUE(pause.request_pause(false, "HTTP"));    // the heat still holds
        EXPECT_TRUE(hold.load());
        pause.set_thermal(false);
        EXPECT_FALSE(hold.load());
        pause.set_thermal(true);
        pause.set_thermal(true);
        EXPECT_TRUE(pause.paused());
        pause.set_thermal(false);
        EXPECT_FALSE(pause.request_pause(false, "SIGUSR2"));  // nothing to resume: no line
    });
    EXPECT_EQ(pause.thermal_pauses(), 2u);
    EXPECT_EQ(out,
              " pause hashing paused (HTTP request); arenas and pool connection kept\n"
              " pause resume (HTTP request) waits for the CPU to cool\n");
}

TEST(ThermalLimit, ALimitNeedsASensorAtStartUp) {
    SensorTree tree;
    EXPECT_TRUE(check_thermal_sensor(0, tree.root.string()));  // no limit: no sensor needed
    const Outcome<Done> missing = check_thermal_sensor(85, tree.root.string());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().status, 2);
    EXPECT_EQ(missing.error().message.rfind("--max-temp 85: no CPU temperature sensor (hwmon coretemp", 0), 0u);
    tree.chip("hwmon0", "k10temp", {"61250"});
    EXPECT_TRUE(check_thermal_sensor(85, tree.root.string()));
}

namespace {

struct ReloadRun {
    std::vector<std::string> pools;  // the primary of each reconnect
    std::string token_problem;       // what the token target answers
    std::string token;
    std::string out;
};

ReloadRun reload(Options& live, const Outcome<Options>& next, const std::string& token_problem = "") {
    ReloadRun run;
    ReloadTargets targets;
    targets.pools = [&run](const Options& o) { run.pools.push_back(o.pool); };
    targets.token = [&run, token_problem](const std::string& t) {
        if (token_problem.empty()) run.token = t;
        return token_problem;
    };
    targets.log_file = [](const std::string&) { return std::string(); };
    run.out = test::capture_stdout([&] { apply_reload(live, next, targets); });
    return run;
}

}  // namespace

TEST(Reload, AppliesPoolsTokenAndLogFileAndNamesWhatNeedsARestart) {
    Options live;
    live.config = "rig.json";
    live.pool = "a:1";
    live.address = "QXa";
    live.http_token = "old";
    Options next = live;
    next.backup_pools = {"b:2"};
    next.http_token = "new";
    next.log_file = "/var/log/q.log";
    next.threads = 4;
    next.lanes = 2;
    ReloadRun run = reload(live, next);
    EXPECT_EQ(run.pools, std::vector<std::string>{"a:1"});
    EXPECT_EQ(run.token, "new");
    EXPECT_EQ(live.backup_pools, next.backup_pools);
    EXPECT_EQ(live.log_file, "/var/log/q.log");
    EXPECT_EQ(live.threads, 0);  // the running value stays
    EXPECT_EQ(run.out,
              " conf  reloaded rig.json: log file, HTTP token, pools applied\n"
              " conf  restart to apply --threads, --lanes (the running values stay)\n");

    // The same settings again: nothing to do, nobody reconnects.
    run = reload(live, next);
    EXPECT_TRUE(run.pools.empty());
    EXPECT_EQ(run.out, " conf  reloaded rig.json: nothing to apply\n"
                       " conf  restart to apply --threads, --lanes (the running values stay)\n");
}

TEST(Reload, WhatCannotBeAppliedKeepsTheSettingsInForce) {
    Options live;
    live.config = "rig.json";
    live.address = "QXa";
    live.http_token = "t";
    // A settings file that no longer reads.
    ReloadRun run = reload(live, Outcome<Options>(command_line_failure("config file rig.json: not valid JSON")));
    EXPECT_EQ(run.out, " conf  reload of rig.json failed: config file rig.json: not valid JSON; the settings in "
                       "force stay\n");
    // A token the server refuses, and pools without a payout address.
    Options next = live;
    next.http_token = "";
    next.address = "";
    next.pool = "b:1";
    run = reload(live, next, "--http-token is required to listen beyond loopback");
    EXPECT_TRUE(run.pools.empty());
    EXPECT_EQ(live.http_token, "t");
    EXPECT_EQ(live.address, "QXa");
    EXPECT_EQ(run.out,
              " conf  reload: HTTP token kept: --http-token is required to listen beyond loopback\n"
              " conf  reload: pools kept: a QXT payout address is required (\"user\")\n"
              " conf  reloaded rig.json: nothing to apply\n");
}
