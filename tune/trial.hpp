// One trial of the tuner: a short benchmark of one setting, run the way the
// miner would run it (the same threads, pinning, arenas and engine entry),
// timed per thread from the end of its first call.
#pragma once

#include <atomic>
#include <vector>

#include "tune/plan.hpp"
#include "hash/engine_table.hpp"
#include "hash/settings.hpp"

namespace nolu::qxt {

struct TrialPlan {
    const EngineRow* engine = nullptr;
    HashSettings settings;  // prepared: index table, skip-store, side plan
    int threads = 1;
    int lanes = 1;
    std::vector<int> cpus;  // thread i is pinned to cpus[i] where there is one
};

// Each thread maps its arenas, hashes once (not timed), then hashes until
// `seconds` have passed since that first call ended (at least one more call)
// or the stop flag is set. The rate is the sum over the threads of their
// hashes over their own timed span. Failed when any thread could not map its
// arenas (nothing is hashed then).
TrialOutcome run_trial(const TrialPlan& plan, double seconds, const std::atomic<bool>& stop);

}  // namespace nolu::qxt
