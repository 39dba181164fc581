// Steering a run where the end-to-end run does not reach: a request and the
// thermal limit holding the threads apart, and reloads that cannot apply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/pause_control.hpp"
#include "app/reload.hpp"
#include "app/thermal.hpp"
#include "tests/support/capture.hpp"

using namespace nolu::qxt;

TEST(PauseControl, ARequestAndTheThermalLimitHoldTheThreadsApart) {
    PauseControl pause;
    const std::atomic<bool>& hold = *pause.hold_flag();
    const std::string out = test::capture_stdout([&] {
        EXPECT_TRUE(pause.request_pause(true, "HTTP"));
        EXPECT_TRUE(pause.request_pause(true, "SIGUSR1"));  // repeated: no second line
        pause.set_thermal(true);
        EXPECT_TRUE(pause.request_pause(false, "HTTP"));  // the heat still holds
        pause.set_thermal(false);
        EXPECT_FALSE(hold.load());
        pause.set_thermal(true);
        pause.set_thermal(true);
        EXPECT_TRUE(hold.load());
        pause.set_thermal(false);
        EXPECT_FALSE(pause.request_pause(false, "SIGUSR2"));  // nothing to resume: no line
    });
    EXPECT_EQ(pause.thermal_pauses(), 2u);
    EXPECT_EQ(out,
              " pause hashing paused (HTTP request); arenas and pool connection kept\n"
              " pause resume (HTTP request) waits for the CPU to cool\n");
    ThermalLimit limit(80);
    EXPECT_EQ(limit.reading(80.0), ThermalLimit::Change::pause);
    EXPECT_EQ(limit.reading(std::nullopt), ThermalLimit::Change::none);  // a lost sensor holds the state
    EXPECT_TRUE(limit.hot());
}

TEST(Reload, WhatCannotBeAppliedKeepsTheSettingsInForce) {
    Options live;
    live.config = "rig.json";
    live.address = "QXa";
    live.http_token = "t";
    std::vector<std::string> reconnects;
    ReloadTargets targets;
    targets.pools = [&](const Options& o) { reconnects.push_back(o.pool); };
    targets.token = [](const std::string&) { return std::string("--http-token is required beyond loopback"); };
    targets.log_file = [](const std::string&) { return std::string(); };
    Options next = live;
    next.http_token = "";
    next.address = "";
    next.pool = "b:1";
    const std::string out = test::capture_stdout([&] {
        apply_reload(live, Outcome<Options>(command_line_failure("config file rig.json: not valid JSON")), targets);
        apply_reload(live, next, targets);
    });
    EXPECT_TRUE(reconnects.empty());
    EXPECT_EQ(live.http_token, "t");
    EXPECT_EQ(live.address, "QXa");
    EXPECT_EQ(live.pool, Options().pool);
    live.config.clear();  // started without a settings file: nothing to read again
    EXPECT_EQ(test::capture_stdout([&] { apply_reload(live, next, targets); }),
              " conf  reload: no settings file (-c) to read again\n");
    // ... unless a token file: it is read again, and a pin or CA alone
    // changes the pools.
    live.http_token_file = "/run/credentials/token";
    next = live;
    next.http_token = "rotated";
    next.tls_ca = "/etc/pool-ca.pem";
    next.pool_endpoint.fingerprint = std::string(64, 'a');
    targets.token = [](const std::string&) { return std::string(); };
    EXPECT_EQ(test::capture_stdout([&] { apply_reload(live, next, targets); }),
              " conf  reloaded /run/credentials/token: HTTP token, pools applied\n");
    EXPECT_EQ(live.http_token, "rotated");
    EXPECT_EQ(live.tls_ca, "/etc/pool-ca.pem");
    EXPECT_EQ(reconnects.size(), 1u);
    EXPECT_EQ(out,
              " conf  reload of rig.json failed: config file rig.json: not valid JSON; the settings in force stay\n"
              " conf  reload: HTTP token kept: --http-token is required beyond loopback\n"
              " conf  reload: pools kept: a QXT payout address is required (\"user\")\n"
              " conf  reloaded rig.json: nothing to apply\n");
}
