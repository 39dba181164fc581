// The tuner's choices with a fake clock and fake trials: which settings a
// machine can hold, the alternating order, the time budget, stopping,
// failed trials, the ranking; and what it writes into a config file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cli/config_file.hpp"
#include "tune/config.hpp"
#include "tune/plan.hpp"

using namespace nolu::qxt;

namespace {

TuneMachine two_core_rig(int arenas = 10) {
    TuneMachine m;
    m.engines = {{"avx512", true, true}, {"avx2", false, true}};
    m.cores = 2;
    m.arenas_full = arenas;
    m.arenas_skip = arenas + arenas / 4;
    return m;
}

TuneSetting setting(const char* engine, int threads, int lanes = 1, int skip = 0, int side = 0, int dist = 0) {
    return TuneSetting{engine, threads, lanes, skip, side, dist};
}

// A rig whose speed per setting the test chooses; time passes only in trials
// (their seconds plus a fixed start-up cost), and the speed may drift.
struct FakeRig {
    std::map<std::string, double> speed;  // by command line; 1.0 when not listed
    double drift_per_s = 0;               // relative change of every speed per second
    double overhead_s = 2;
    double now = 100;
    double stop_after = 1e18;             // the stop flag is set once this time has passed
    std::vector<TuneSetting> tried;
    std::vector<double> seconds;
    std::vector<std::string> no_memory;   // command lines whose trials fail

    TuneHooks hooks() {
        TuneHooks h;
        h.clock = [this] { return now; };
        h.stopped = [this] { return now >= stop_after; };
        h.trial = [this](const TuneSetting& s, double secs) {
            tried.push_back(s);
            seconds.push_back(secs);
            const double rate_now = rate(s);
            now += secs + overhead_s;
            TrialOutcome out;
            out.failed = std::find(no_memory.begin(), no_memory.end(), tune_command_line(s)) != no_memory.end();
            if (!out.failed) out.rate = rate_now;
            return out;
        };
        return h;
    }
    double rate(const TuneSetting& s) const {
        const auto it = speed.find(tune_command_line(s));
        return (it != speed.end() ? it->second : 1.0) * (1.0 + drift_per_s * (now - 100));
    }
};

}  // namespace

TEST(TunePlan, SettingsTheMachineHolds) {
    const TuneMachine m = two_core_rig(3);
    EXPECT_TRUE(fits_machine(setting("avx512", 2, 1), m));
    EXPECT_TRUE(fits_machine(setting("avx512", 1, 3), m));
    EXPECT_FALSE(fits_machine(setting("avx512", 2, 2), m));      // four arenas, three fit
    EXPECT_FALSE(fits_machine(setting("avx512", 3, 1), m));      // more threads than cores
    EXPECT_FALSE(fits_machine(setting("avx512", 1, 5), m));      // at most four lanes
    EXPECT_FALSE(fits_machine(setting("avx512", 1, 2, 600), m)); // lanes refuse skip-store
    EXPECT_FALSE(fits_machine(setting("avx2", 1, 1, 0, 1024), m));  // no memory options
    EXPECT_FALSE(fits_machine(setting("avx512", 1, 1, 0, 0, 2048), m));  // a distance needs the side cache
    EXPECT_FALSE(fits_machine(setting("plain", 1), m));          // not offered here

    TuneMachine forced = m;
    forced.forced_threads = 1;
    EXPECT_TRUE(fits_machine(setting("avx512", 1, 2), forced));
    EXPECT_FALSE(fits_machine(setting("avx512", 2, 1), forced));
    EXPECT_EQ(first_setting(forced), setting("avx512", 1));
    EXPECT_EQ(first_setting(two_core_rig(1)), setting("avx512", 1));
}

TEST(TunePlan, StagesVaryOneThingAroundTheBest) {
    const TuneMachine m = two_core_rig();
    EXPECT_EQ(stage_candidates(TuneStage::engine, first_setting(m), m),
              (std::vector<TuneSetting>{setting("avx512", 2), setting("avx2", 2)}));
    EXPECT_EQ(stage_candidates(TuneStage::shape, setting("avx2", 2), m),
              (std::vector<TuneSetting>{setting("avx2", 2, 1), setting("avx2", 2, 2), setting("avx2", 2, 3),
                                        setting("avx2", 2, 4), setting("avx2", 1, 2), setting("avx2", 1, 3)}));
    // Five arenas: two threads take two lanes at most, one thread two or three.
    EXPECT_EQ(stage_candidates(TuneStage::shape, setting("avx512", 2), two_core_rig(5)),
              (std::vector<TuneSetting>{setting("avx512", 2, 1), setting("avx512", 2, 2), setting("avx512", 1, 2),
                                        setting("avx512", 1, 3)}));

    // Memory options only for the engine that takes them; skip-store only
    // with one lane, and with the threads its smaller arenas allow.
    EXPECT_EQ(stage_candidates(TuneStage::memory, setting("avx2", 2), m).size(), 1u);
    EXPECT_EQ(stage_candidates(TuneStage::memory, setting("avx512", 2, 2), m),
              (std::vector<TuneSetting>{setting("avx512", 2, 2), setting("avx512", 2, 2, 0, 1024),
                                        setting("avx512", 2, 2, 0, 4096)}));
    TuneMachine tight = two_core_rig(1);
    tight.arenas_skip = 2;
    EXPECT_EQ(stage_candidates(TuneStage::memory, setting("avx512", 1), tight).back(), setting("avx512", 2, 1, 600));

    // Distances only with the side cache, never the one the planner picks anyway.
    TuneMachine planned = m;
    planned.planner_dist = [](int) { return 8192; };
    EXPECT_EQ(stage_candidates(TuneStage::distance, setting("avx512", 2), planned).size(), 1u);
    EXPECT_EQ(stage_candidates(TuneStage::distance, setting("avx512", 2, 1, 0, 4096), planned),
              (std::vector<TuneSetting>{setting("avx512", 2, 1, 0, 4096), setting("avx512", 2, 1, 0, 4096, 2048),
                                        setting("avx512", 2, 1, 0, 4096, 32768)}));
}

TEST(TunePlan, AlternatingOrderAndTrialLength) {
    EXPECT_EQ(round_order(3, 0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(round_order(3, 1), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(round_order(3, 2), (std::vector<int>{0, 1, 2}));
    EXPECT_DOUBLE_EQ(trial_seconds(200, 20), 10);
    EXPECT_DOUBLE_EQ(trial_seconds(20, 20), min_trial_s);
    EXPECT_DOUBLE_EQ(trial_seconds(-5, 3), min_trial_s);
    EXPECT_DOUBLE_EQ(trial_seconds(1000, 2), max_trial_s);
}

TEST(TuneSearch, FollowsTheFastestThroughEveryStage) {
    FakeRig rig;
    rig.speed[tune_command_line(setting("avx2", 2))] = 0.9;
    rig.speed[tune_command_line(setting("avx512", 1, 3))] = 1.3;
    rig.speed[tune_command_line(setting("avx512", 1, 3, 0, 1024))] = 1.4;
    TuneMachine m = two_core_rig();
    m.planner_dist = [](int) { return 2048; };
    const TuneOutcome out = run_tune_search(m, 10000, rig.hooks());
    EXPECT_TRUE(out.complete);
    EXPECT_EQ(out.best, setting("avx512", 1, 3, 0, 1024));
    ASSERT_FALSE(ranked(out.results).empty());
    EXPECT_EQ(ranked(out.results).front().setting, out.best);
    // 2 engines, 6 shapes, 3 memory options (lanes: no skip-store), 3 distances; two rounds each.
    EXPECT_EQ(rig.tried.size(), 2u * (2 + 6 + 3 + 3));
    for (const TuneSetting& s : rig.tried) EXPECT_TRUE(fits_machine(s, m)) << tune_command_line(s);
    // Each stage runs forward, then backward: the first stage is A B B A.
    EXPECT_EQ(rig.tried[0], rig.tried[3]);
    EXPECT_EQ(rig.tried[1], rig.tried[2]);
    EXPECT_NE(rig.tried[0], rig.tried[1]);
}

TEST(TuneSearch, AlternationCancelsASteadyDrift) {
    // avx2 is 2 % faster, while every speed falls 1 % per second of the
    // stage's trials: measured A B B A, the drift hits both alike.
    FakeRig rig;
    rig.drift_per_s = -0.01;
    rig.speed[tune_command_line(setting("avx2", 2))] = 1.02;
    TuneMachine m = two_core_rig();
    m.engines[1].lanes = false;  // so that the later stages stay small
    const TuneOutcome out = run_tune_search(m, 30, rig.hooks());
    ASSERT_GE(rig.tried.size(), 4u);
    EXPECT_EQ(rig.tried[0].engine, "avx512");
    EXPECT_EQ(out.best.engine, "avx2");
}

TEST(TuneSearch, KeepsToItsTimeBudget) {
    FakeRig rig;
    const double budget = 120;
    const TuneOutcome out = run_tune_search(two_core_rig(), budget, rig.hooks());
    EXPECT_FALSE(out.complete);
    ASSERT_FALSE(rig.tried.empty());
    // No trial starts after the budget: the end is at most one trial late.
    EXPECT_LE(rig.now - 100, budget + max_trial_s + rig.overhead_s);
    for (double s : rig.seconds) {
        EXPECT_GE(s, min_trial_s);
        EXPECT_LE(s, max_trial_s);
    }
    // The stage cut short changed nothing: the winner comes from complete stages.
    EXPECT_TRUE(out.best == setting("avx512", 2) || out.best == setting("avx2", 2));

    // A generous budget spreads its time: longer trials, never above the cap.
    FakeRig slow;
    run_tune_search(two_core_rig(), 100000, slow.hooks());
    EXPECT_DOUBLE_EQ(slow.seconds.front(), max_trial_s);
}

TEST(TuneSearch, StopsAtTheStopFlagAndDropsTheInterruptedTrial) {
    FakeRig rig;
    rig.stop_after = 100 + 2 * (max_trial_s + rig.overhead_s) + 1;  // during the third trial
    const TuneOutcome out = run_tune_search(two_core_rig(), 10000, rig.hooks());
    EXPECT_FALSE(out.complete);
    EXPECT_EQ(rig.tried.size(), 3u);
    std::size_t recorded = 0;
    for (const TuneResult& r : out.results) recorded += r.rates.size();
    EXPECT_EQ(recorded, 2u);
}

TEST(TuneSearch, ASettingWithoutMemoryIsNotTriedAgainNorChosen) {
    FakeRig rig;
    rig.speed[tune_command_line(setting("avx512", 2, 4))] = 5;
    rig.no_memory = {tune_command_line(setting("avx512", 2, 4))};
    const TuneOutcome out = run_tune_search(two_core_rig(), 10000, rig.hooks());
    EXPECT_EQ(std::count(rig.tried.begin(), rig.tried.end(), setting("avx512", 2, 4)), 1);
    EXPECT_NE(out.best, setting("avx512", 2, 4));
    for (const TuneResult& r : ranked(out.results)) EXPECT_FALSE(r.failed);

    // Nothing fits at all: no trial.
    TuneMachine none = two_core_rig(0);
    none.forced_threads = 2;
    FakeRig idle;
    EXPECT_TRUE(run_tune_search(none, 100, idle.hooks()).results.empty());
    EXPECT_TRUE(idle.tried.empty());
}

TEST(TuneResults, MediansRankAndFailuresStayOut) {
    std::vector<TuneResult> results;
    record_trial(results, setting("avx2", 2), 1.0, false);
    record_trial(results, setting("avx512", 2), 3.0, false);
    record_trial(results, setting("avx512", 2), 1.0, false);
    record_trial(results, setting("avx512", 2), 1.5, false);
    record_trial(results, setting("avx512", 2, 4), 0, true);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_DOUBLE_EQ(results[1].median(), 1.5);
    EXPECT_DOUBLE_EQ(results[1].low(), 1.0);
    EXPECT_DOUBLE_EQ(results[1].high(), 3.0);
    const auto list = ranked(results);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].setting, setting("avx512", 2));
    EXPECT_EQ(stage_winner({setting("avx2", 2), setting("avx512", 2)}, results), setting("avx512", 2));
    EXPECT_EQ(stage_winner({setting("avx2", 1)}, results), setting("avx2", 1));
}

TEST(TuneText, CommandLineAndLabel) {
    EXPECT_EQ(tune_command_line(setting("avx512", 2, 3, 0, 1024)),
              "korven-qxt --engine avx512 -t 2 --lanes 3 --skip 0 --side 1024");
    EXPECT_EQ(tune_command_line(setting("avx512", 4, 1, 600, 4096, 2048)),
              "korven-qxt --engine avx512 -t 4 --lanes 1 --skip 600 --side 4096 --side-dist 2048");
    EXPECT_EQ(tune_label(setting("avx2", 1)), "avx2 · 1 thread");
    EXPECT_EQ(tune_label(setting("avx512", 2, 2, 0, 1024, 8192)), "avx512 · 2 threads × 2 lanes · side 1024 dist 8192");
}

TEST(TuneConfig, SetsItsKeysAndKeepsTheRest) {
    const TuneSetting s = setting("avx512", 2, 2, 0, 1024);
    EXPECT_EQ(*tuned_config_text("", s), "{\"engine\":\"avx512\",\"threads\":2,\"lanes\":2,\"skip\":0,\"side\":1024}\n");
    EXPECT_EQ(*tuned_config_text(" \n", setting("avx2", 1, 1, 0, 0)),
              "{\"engine\":\"avx2\",\"threads\":1,\"lanes\":1,\"skip\":0,\"side\":0}\n");
    // Other members stay, in place and as written; a tuned key keeps its
    // place; a stale distance goes when the planner chooses.
    EXPECT_EQ(*tuned_config_text(
                  R"({"pool":"p.example:3358","threads":9,"user":"QX\"a","side-dist":4096,"x":[1,2.50,{"y":null}],"threads":3})",
                  s),
              "{\"pool\":\"p.example:3358\",\"threads\":2,\"user\":\"QX\\\"a\",\"x\":[1,2.50,{\"y\":null}],"
              "\"engine\":\"avx512\",\"lanes\":2,\"skip\":0,\"side\":1024}\n");
    EXPECT_EQ(*tuned_config_text("{}", setting("avx512", 1, 1, 600, 4096, 2048)),
              "{\"engine\":\"avx512\",\"threads\":1,\"lanes\":1,\"skip\":600,\"side\":4096,\"side-dist\":2048}\n");
    // What is not an object is never overwritten.
    EXPECT_FALSE(tuned_config_text("[1,2]", s));
    EXPECT_FALSE(tuned_config_text("{\"pool\":", s));
    EXPECT_FALSE(tuned_config_text("threads=2", s));
}

// What the tuner writes is a settings file the miner reads (-c) into the
// same setting, the members it kept included.
TEST(TuneConfig, TheMinerReadsTheChoiceBack) {
    const Expected<std::string> text =
        tuned_config_text(R"({"user":"QXa","_note":"kept"})", setting("avx512", 3, 2, 600, 4096, 8192));
    ASSERT_TRUE(text);
    Options o;
    ASSERT_TRUE(apply_config_text(*text, "rig.json", o));
    EXPECT_EQ(o.address, "QXa");
    EXPECT_EQ(o.engine, "avx512");
    EXPECT_EQ(o.threads, 3);
    EXPECT_EQ(o.lanes, 2);
    EXPECT_EQ(o.skip, 600);
    EXPECT_EQ(o.side, 4096);
    EXPECT_EQ(o.side_dist, 8192);
}

TEST(TuneConfig, WritesThroughATemporaryFile) {
    const std::string path = ::testing::TempDir() + "tune_config_test.json";
    std::remove(path.c_str());
    ASSERT_TRUE(write_tuned_config(path, setting("avx512", 2)));
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buffer[256] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buffer, n), "{\"engine\":\"avx512\",\"threads\":2,\"lanes\":1,\"skip\":0,\"side\":0}\n");
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);

    // A file that is not an object stays as it was.
    f = std::fopen(path.c_str(), "w");
    std::fputs("not json", f);
    std::fclose(f);
    const Status refused = write_tuned_config(path, setting("avx512", 2));
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("left as it is"), std::string::npos);
    f = std::fopen(path.c_str(), "r");
    const std::size_t m = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buffer, m), "not json");
    std::remove(path.c_str());

    // A directory that does not exist: a failure, not a crash.
    EXPECT_FALSE(write_tuned_config("/nonexistent-dir/x.json", setting("avx512", 2)));

    // A full disk: a failure that keeps the old file and leaves no temporary one.
    if (access("/dev/full", W_OK) != 0) return;
    ASSERT_TRUE(write_tuned_config(path, setting("avx512", 2)));
    ASSERT_EQ(symlink("/dev/full", (path + ".tmp").c_str()), 0);
    const Status full = write_tuned_config(path, setting("avx2", 1));
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().message, "cannot write " + path + ".tmp");
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
    f = std::fopen(path.c_str(), "r");
    const std::size_t kept = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buffer, kept), "{\"engine\":\"avx512\",\"threads\":2,\"lanes\":1,\"skip\":0,\"side\":0}\n");
    std::remove(path.c_str());
}
