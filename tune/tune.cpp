#include "tune/tune.hpp"

#include <cstdio>
#include <map>
#include <memory>
#include <tuple>

#include "console/console.hpp"
#include "console/signals.hpp"
#include "tune/config.hpp"
#include "tune/plan.hpp"
#include "tune/trial.hpp"
#include "common/clock.hpp"
#include "hash/side_cache.hpp"
#include "host/memory.hpp"

namespace nolu::qxt {

namespace {

// The machine as the tuner sees it: the engines it may try, its cores and
// the arenas its memory budget holds (as the thread rule counts them).
TuneMachine describe_machine(const Setup& setup, const TuneRequest& request, const IsaSupport& isa) {
    TuneMachine m;
    // --engine with a name it honoured narrows the engines to that one.
    const bool forced = find_engine(request.engine) == setup.engine;
    for (const EngineRow& row : engine_rows()) {
        if (!row.automatic || !row.usable(isa) || (forced && &row != setup.engine)) continue;
        m.engines.push_back({row.name, row.memory_options, row.hash_lanes != nullptr});
    }
    m.cores = std::max(1, static_cast<int>(setup.topology.cpus.size()));
    m.arenas_full = arenas_that_fit(probe_memory(arena_bytes(HashSettings{})));
    m.arenas_skip = arenas_that_fit(probe_memory(arena_bytes(with_skip(HashSettings{}, tune_skip, true))));
    m.forced_threads = std::max(request.threads, 0);
    return m;
}

// Side-cache plans, made once per engine, slot count and distance.
class Plans {
public:
    const SidePlan* get(const EngineRow& engine, const HashSettings& prepared, int slots, int dist) {
        auto& plan = plans_[std::make_tuple(engine.name, slots, dist)];
        if (!plan) {
            plan = std::make_unique<SidePlan>(side_plan(prepared.index_table, static_cast<std::uint32_t>(slots),
                                                        static_cast<std::uint32_t>(dist)));
        }
        return plan.get();
    }

private:
    std::map<std::tuple<std::string, int, int>, std::unique_ptr<SidePlan>> plans_;
};

std::string rate_cell(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", rate);
    return text;
}

// The settings by their median speed; * marks the one the search chose.
void print_table(const std::vector<TuneResult>& results, const TuneSetting& chosen) {
    const std::vector<TuneResult> list = ranked(results);
    log_line(colours.bold, "tune ", "  #   H/s  lowest-highest  trials  command line");
    int rank = 0;
    for (const TuneResult& r : list) {
        char line[64];
        std::snprintf(line, sizeof line, "%3d%c%5.2f  %6.2f-%-6.2f  %6zu  ", ++rank, r.setting == chosen ? '*' : ' ',
                      r.median(), r.low(), r.high(), r.rates.size());
        log_line(colours.grey, "tune ", line + tune_command_line(r.setting));
    }
    for (const TuneResult& r : results)
        if (r.failed) log_line(colours.grey, "tune ", "no memory for " + tune_label(r.setting));
}

}  // namespace

int run_tune(const Setup& setup, const TuneRequest& request, const IsaSupport& isa) {
    TuneMachine machine = describe_machine(setup, request, isa);
    const int budget = request.seconds > 0 ? request.seconds : default_tune_seconds;

    std::map<std::string, HashSettings> prepared;  // per engine: its index table
    for (const TuneEngine& e : machine.engines) {
        HashSettings s;
        if (const Status status = find_engine(e.name)->prepare(s); !status) {
            log_line(colours.red, "mem  ", status.error().message);
            return 1;
        }
        prepared[e.name] = s;
    }
    Plans plans;
    machine.planner_dist = [&](int slots) {
        const std::string& name = machine.engines.front().name;
        return static_cast<int>(plans.get(*find_engine(name), prepared[name], slots, 0)->dist);
    };

    if (!fits_machine(first_setting(machine), machine)) {
        log_line(colours.red, "mem  ", "not enough memory for " + tune_label(first_setting(machine)) + ": nothing to try");
        return 1;
    }
    log_line(colours.grey, "tune ",
             "about " + std::to_string(budget) + " s of trials, one setting at a time (" +
                 std::to_string(machine.cores) + " cores, memory for " + std::to_string(machine.arenas_full) +
                 " arenas); Ctrl-C stops");

    TuneHooks hooks;
    hooks.clock = [] { return static_cast<double>(steady_ns()) * 1e-9; };
    hooks.stopped = [] { return stop_flag.load(); };
    hooks.trial = [&](const TuneSetting& s, double seconds) {
        const EngineRow* engine = find_engine(s.engine);
        TrialPlan plan;
        plan.engine = engine;
        plan.settings = with_skip(prepared[s.engine], static_cast<std::uint32_t>(s.skip), true);
        if (s.side > 0) plan.settings.side = plans.get(*engine, prepared[s.engine], s.side, s.side_dist);
        plan.settings.prefault = true;
        plan.threads = s.threads;
        plan.lanes = s.lanes;
        plan.cpus = setup.topology.cpus;
        return run_trial(plan, seconds, stop_flag);
    };
    hooks.progress = [](int done, int planned, const TuneSetting& s, const TrialOutcome& r) {
        log_line(colours.grey, "tune ",
                 "[" + std::to_string(done) + "/" + std::to_string(planned) + "] " + tune_label(s) + ": " +
                     (r.failed ? std::string("no memory") : rate_cell(r.rate) + " H/s"));
    };
    const double start = hooks.clock();
    const TuneOutcome outcome = run_tune_search(machine, budget, hooks);

    print_table(outcome.results, outcome.best);
    if (stop_flag.load()) {
        log_line(colours.grey, "tune ", "stopped before the end" + std::string(request.config.empty() ? "" : ": nothing written"));
        return 0;
    }
    const std::vector<TuneResult> list = ranked(outcome.results);
    if (list.empty()) {
        log_line(colours.red, "tune ", "nothing was measured");
        return 1;
    }
    const TuneSetting& best = outcome.best;
    double best_rate = 0;
    for (const TuneResult& r : list)
        if (r.setting == best) best_rate = r.median();
    log_line(colours.green, "tune ",
             "fastest (*): " + tune_label(best) + " at " + rate_cell(best_rate) + " H/s, after " +
                 std::to_string(static_cast<int>(hooks.clock() - start)) + " s" +
                 (outcome.complete ? "" : " (the time ran out before the last stage)"));
    if (request.config.empty()) {
        log_line(colours.grey, "tune ", "mine with: " + tune_command_line(best) + " (--config <file> saves it)");
        return 0;
    }
    if (const Status written = write_tuned_config(request.config, best); !written) {
        log_line(colours.red, "tune ", "config not written: " + written.error().message);
        return 1;
    }
    log_line(colours.grey, "tune ", "written to " + request.config);
    return 0;
}

}  // namespace nolu::qxt
