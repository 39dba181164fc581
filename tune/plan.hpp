// The tuner's choices, apart from any clock or thread: which settings this
// machine can hold, which of them each stage compares, in which order the
// trials run (alternating, so that a drift of the machine's speed falls on
// every candidate alike), how long a trial may take within the time budget,
// and how the results rank. The search itself takes its clock and its trial
// runner as functions, so a test can drive it with fakes.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace nolu::qxt {

// A setting the tuner tries: the options of a mining run.
struct TuneSetting {
    std::string engine;
    int threads = 1;
    int lanes = 1;
    int skip = 0;       // skip-store permille, 0 = off
    int side = 0;       // side-cache slots, 0 = off
    int side_dist = 0;  // 0 = the planner's choice

    bool operator==(const TuneSetting&) const = default;
};

struct TuneEngine {
    std::string name;
    bool memory_options = false;  // skip-store and the side cache
    bool lanes = false;           // --lanes above 1
};

// What this machine offers, settled before the first trial.
struct TuneMachine {
    std::vector<TuneEngine> engines;  // those usable here (one when --engine is given), the preferred first
    int cores = 1;
    int arenas_full = 1;    // full arenas the memory budget holds
    int arenas_skip = 1;    // arenas with skip-store at 600 permille
    int forced_threads = 0; // -t given: every setting uses it
    // The distance the side-cache planner picks by itself for a slot count:
    // the distance stage does not try it again.
    std::function<int(int slots)> planner_dist;
};

// The permille the tuner tries skip-store at.
inline constexpr int tune_skip = 600;

// Whether the machine can hold the setting: its arenas fit the memory
// budget (threads x lanes of them), its threads the cores, its engine takes
// its options.
bool fits_machine(const TuneSetting& setting, const TuneMachine& machine);

// The stages, in order: each compares the winner so far (always the first
// candidate) with its variations.
enum class TuneStage { engine, shape, memory, distance };
inline constexpr TuneStage tune_stages[] = {TuneStage::engine, TuneStage::shape, TuneStage::memory,
                                            TuneStage::distance};
const char* stage_name(TuneStage stage);

// The starting setting: the preferred engine, as many threads as fit, one
// lane, no memory options.
TuneSetting first_setting(const TuneMachine& machine);

// The candidates of one stage around `best` (best first), all fitting the
// machine, none twice. Fewer than two means the stage has nothing to compare.
std::vector<TuneSetting> stage_candidates(TuneStage stage, const TuneSetting& best, const TuneMachine& machine);

// Trial order of round r (0-based) over n candidates: forward in even
// rounds, backward in odd ones (A B C, C B A, A B C, ...).
std::vector<int> round_order(int n, int round);

// Rounds every stage runs: enough that each candidate meets the others
// going both ways.
inline constexpr int tune_rounds = 2;

// Seconds of one trial: the time left spread over the trials left, between
// min_trial_s and max_trial_s.
inline constexpr double min_trial_s = 6;
inline constexpr double max_trial_s = 30;
double trial_seconds(double seconds_left, int trials_left);

// The most trials the stages from `from` on can plan (an upper bound used
// to spread the time).
int trials_planned(TuneStage from, const TuneMachine& machine);

// Every trial of one setting.
struct TuneResult {
    TuneSetting setting;
    std::vector<double> rates;  // hashes per second, one per trial
    bool failed = false;        // a trial could not get its memory

    double median() const;
    double low() const;
    double high() const;
};

// Records a trial's rate (or its failure) under its setting.
void record_trial(std::vector<TuneResult>& results, const TuneSetting& setting, double rate, bool failed);

// The results that have a rate, fastest (by median) first.
std::vector<TuneResult> ranked(const std::vector<TuneResult>& results);

// The fastest of the candidates by their medians over the given results;
// the first candidate when none has a rate.
TuneSetting stage_winner(const std::vector<TuneSetting>& candidates, const std::vector<TuneResult>& results);

// How a search runs: its trial runner (the rate of a setting over about the
// given seconds; failed when it could not get its memory), its clock
// (seconds since any fixed point), the stop flag and a progress report
// after every trial.
struct TrialOutcome {
    double rate = 0;
    bool failed = false;
};
struct TuneHooks {
    std::function<TrialOutcome(const TuneSetting&, double seconds)> trial;
    std::function<double()> clock;
    std::function<bool()> stopped;
    std::function<void(int done, int planned, const TuneSetting&, const TrialOutcome&)> progress;
};

struct TuneOutcome {
    std::vector<TuneResult> results;  // every setting tried, in the order first tried
    TuneSetting best;                 // the winner of the last stage that ran all its rounds
    bool complete = false;            // every stage ran to its end (not stopped, not out of time)
};

// The search: the stages in order, each for tune_rounds alternating rounds,
// carrying the winner forward, until the stages are done, the budget of
// seconds is spent (no trial starts after it), or stopped. A stage cut short
// changes nothing: its candidates did not all meet in alternating rounds.
TuneOutcome run_tune_search(const TuneMachine& machine, double budget_s, const TuneHooks& hooks);

// "korven-qxt --engine avx512 -t 2 --lanes 2 --skip 0 --side 1024" (and
// "--side-dist d" when set).
std::string tune_command_line(const TuneSetting& setting);
// "avx512 · 2 threads × 2 lanes · side 1024"
std::string tune_label(const TuneSetting& setting);

}  // namespace nolu::qxt
