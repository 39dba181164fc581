#include "tune/plan.hpp"

#include <algorithm>

#include "common/spread.hpp"
#include "hash/engine_table.hpp"

namespace nolu::qxt {

namespace {

constexpr int most_lanes = static_cast<int>(max_lanes);
constexpr int side_sizes[] = {1024, 4096};
constexpr int side_distances[] = {2048, 8192, 32768};

const TuneEngine* engine_of(const TuneSetting& s, const TuneMachine& m) {
    for (const TuneEngine& e : m.engines)
        if (e.name == s.engine) return &e;
    return nullptr;
}

// Threads for arenas that fit, one lane each.
int threads_for(const TuneMachine& m, int arenas) {
    if (m.forced_threads > 0) return m.forced_threads;
    return std::max(1, std::min(m.cores, arenas));
}

void add(std::vector<TuneSetting>& list, const TuneSetting& s, const TuneMachine& m) {
    if (!fits_machine(s, m)) return;
    if (std::find(list.begin(), list.end(), s) != list.end()) return;
    list.push_back(s);
}

}  // namespace

bool fits_machine(const TuneSetting& s, const TuneMachine& m) {
    const TuneEngine* engine = engine_of(s, m);
    if (engine == nullptr) return false;
    if (!engine->memory_options && (s.skip != 0 || s.side != 0)) return false;
    if (s.side == 0 && s.side_dist != 0) return false;
    if (s.lanes < 1 || s.lanes > most_lanes || (s.lanes > 1 && (!engine->lanes || s.skip != 0))) return false;
    if (s.threads < 1) return false;
    if (m.forced_threads > 0 ? s.threads != m.forced_threads : s.threads > m.cores) return false;
    const int arenas = s.skip != 0 ? m.arenas_skip : m.arenas_full;
    return s.threads * s.lanes <= arenas;
}

const char* stage_name(TuneStage stage) {
    switch (stage) {
        case TuneStage::engine: return "engine";
        case TuneStage::shape: return "threads and lanes";
        case TuneStage::memory: return "memory options";
        case TuneStage::distance: return "side distance";
    }
    return "";
}

TuneSetting first_setting(const TuneMachine& m) {
    TuneSetting s;
    if (!m.engines.empty()) s.engine = m.engines.front().name;
    s.threads = threads_for(m, m.arenas_full);
    return s;
}

std::vector<TuneSetting> stage_candidates(TuneStage stage, const TuneSetting& best, const TuneMachine& m) {
    std::vector<TuneSetting> list;
    add(list, best, m);
    if (list.empty()) return list;
    switch (stage) {
        case TuneStage::engine:
            for (const TuneEngine& e : m.engines) {
                TuneSetting s = first_setting(m);
                s.engine = e.name;
                add(list, s, m);
            }
            break;
        case TuneStage::shape: {
            // All threads with 1 to 4 lanes, and half the threads with 2 or 3
            // (more lanes on fewer cores can win where memory is the limit).
            const int full = threads_for(m, m.arenas_full);
            for (const int threads : {full, full / 2}) {
                for (int lanes = threads == full ? 1 : 2; lanes <= (threads == full ? most_lanes : 3); ++lanes) {
                    TuneSetting s = best;
                    s.threads = threads;
                    s.lanes = lanes;
                    add(list, s, m);
                }
            }
            break;
        }
        case TuneStage::memory:
            for (const int slots : side_sizes) {
                TuneSetting s = best;
                s.side = slots;
                add(list, s, m);
            }
            if (best.lanes == 1) {
                // Skip-store, with the threads its smaller arenas allow.
                TuneSetting s = best;
                s.skip = tune_skip;
                s.threads = std::max(best.threads, threads_for(m, m.arenas_skip));
                add(list, s, m);
            }
            break;
        case TuneStage::distance:
            if (best.side == 0) break;
            for (const int d : side_distances) {
                if (m.planner_dist && d == m.planner_dist(best.side)) continue;  // the planner's own choice
                TuneSetting s = best;
                s.side_dist = d;
                add(list, s, m);
            }
            break;
    }
    return list;
}

std::vector<int> round_order(int n, int round) {
    std::vector<int> order;
    for (int k = 0; k < n; ++k) order.push_back(round % 2 == 0 ? k : n - 1 - k);
    return order;
}

double trial_seconds(double seconds_left, int trials_left) {
    const double share = trials_left > 0 ? seconds_left / trials_left : seconds_left;
    return std::clamp(share, min_trial_s, max_trial_s);
}

int trials_planned(TuneStage from, const TuneMachine& m) {
    TuneSetting probe = first_setting(m);
    int trials = 0;
    for (const TuneStage stage : tune_stages) {
        if (stage < from) continue;
        if (stage == TuneStage::distance) probe.side = side_sizes[0];  // the most the stage can hold
        const int n = static_cast<int>(stage_candidates(stage, probe, m).size());
        if (n >= 2) trials += n * tune_rounds;
    }
    return trials;
}

double TuneResult::median() const { return spread_of(rates).median; }
double TuneResult::low() const { return spread_of(rates).low; }
double TuneResult::high() const { return spread_of(rates).high; }

void record_trial(std::vector<TuneResult>& results, const TuneSetting& setting, double rate, bool failed) {
    auto it = std::find_if(results.begin(), results.end(), [&](const TuneResult& r) { return r.setting == setting; });
    if (it == results.end()) {
        results.push_back(TuneResult{setting, {}, false});
        it = results.end() - 1;
    }
    if (failed) {
        it->failed = true;
    } else {
        it->rates.push_back(rate);
    }
}

std::vector<TuneResult> ranked(const std::vector<TuneResult>& results) {
    std::vector<TuneResult> list;
    for (const TuneResult& r : results)
        if (!r.rates.empty()) list.push_back(r);
    std::stable_sort(list.begin(), list.end(),
                     [](const TuneResult& a, const TuneResult& b) { return a.median() > b.median(); });
    return list;
}

TuneSetting stage_winner(const std::vector<TuneSetting>& candidates, const std::vector<TuneResult>& results) {
    const TuneSetting* best = candidates.empty() ? nullptr : &candidates.front();
    double best_rate = 0;
    for (const TuneSetting& c : candidates) {
        for (const TuneResult& r : results) {
            if (r.setting == c && !r.rates.empty() && r.median() > best_rate) {
                best_rate = r.median();
                best = &c;
            }
        }
    }
    return best != nullptr ? *best : TuneSetting{};
}

TuneOutcome run_tune_search(const TuneMachine& machine, double budget_s, const TuneHooks& hooks) {
    TuneOutcome out;
    TuneSetting& best = out.best;
    best = first_setting(machine);
    if (!fits_machine(best, machine)) return out;
    const double start = hooks.clock();
    int done = 0;
    double overhead = 0;  // the most a trial took beyond its measuring time
    for (std::size_t k = 0; k < std::size(tune_stages); ++k) {
        const TuneStage stage = tune_stages[k];
        const std::vector<TuneSetting> candidates = stage_candidates(stage, best, machine);
        const int n = static_cast<int>(candidates.size());
        if (n < 2) continue;
        const int later = k + 1 < std::size(tune_stages) ? trials_planned(tune_stages[k + 1], machine) : 0;
        std::vector<TuneResult> stage_results;
        std::vector<bool> failed(static_cast<std::size_t>(n), false);
        int left_in_stage = n * tune_rounds;
        for (int round = 0; round < tune_rounds; ++round) {
            for (const int i : round_order(n, round)) {
                --left_in_stage;
                if (failed[static_cast<std::size_t>(i)]) continue;
                const double used = hooks.clock() - start;
                if (hooks.stopped() || used >= budget_s) return out;
                const int trials_left = left_in_stage + 1 + later;
                const double seconds =
                    trial_seconds(budget_s - used - overhead * trials_left, trials_left);
                const TuneSetting& c = candidates[static_cast<std::size_t>(i)];
                const double t0 = hooks.clock();
                const TrialOutcome result = hooks.trial(c, seconds);
                if (hooks.stopped()) return out;  // an interrupted trial is no measurement
                overhead = std::max(overhead, hooks.clock() - t0 - seconds);
                record_trial(out.results, c, result.rate, result.failed);
                record_trial(stage_results, c, result.rate, result.failed);
                failed[static_cast<std::size_t>(i)] = result.failed;
                ++done;
                if (hooks.progress) hooks.progress(done, done + left_in_stage + later, c, result);
            }
        }
        best = stage_winner(candidates, stage_results);
    }
    out.complete = !hooks.stopped();
    return out;
}

std::string tune_command_line(const TuneSetting& s) {
    std::string line = "korven-qxt --engine " + s.engine + " -t " + std::to_string(s.threads) + " --lanes " +
                       std::to_string(s.lanes) + " --skip " + std::to_string(s.skip) + " --side " +
                       std::to_string(s.side);
    if (s.side_dist != 0) line += " --side-dist " + std::to_string(s.side_dist);
    return line;
}

std::string tune_label(const TuneSetting& s) {
    std::string label = s.engine + " · " + std::to_string(s.threads) + (s.threads == 1 ? " thread" : " threads");
    if (s.lanes > 1) label += " × " + std::to_string(s.lanes) + " lanes";
    if (s.skip != 0) label += " · skip " + std::to_string(s.skip);
    if (s.side != 0) label += " · side " + std::to_string(s.side);
    if (s.side_dist != 0) label += " dist " + std::to_string(s.side_dist);
    return label;
}

}  // namespace nolu::qxt
