// What the user sees of the start-up self-test: the hashing it covered, a
// red line for each thread it stopped, and the outcome once every thread
// has mapped its arena and hashed the known record.
#pragma once

#include <string>

#include "console/failure.hpp"
#include "app/startup.hpp"
#include "miner/worker.hpp"

namespace nolu::qxt {

// Whether the threads run the self-test: unless --no-self-test, and never
// with the --skip-norebuild probe (its hashes are wrong by design).
bool self_test_runs(const MiningPlan& plan);

// "engine avx512 · skip-store from 600 ‰ · side cache 1024 slots · reference table",
// "engine avx2 · full arena · 2 lanes".
std::string describe_hashing(const EngineRow& engine, const HashSettings& settings, int lanes = 1);

// The red line of a thread whose self-test hash was wrong (cpu -1: not pinned).
std::string self_test_failure_line(int thread, int cpu, const std::string& hashing);

// After the wait for the threads: the "check" line, grey when every thread
// passed (or the test was skipped), red when some were stopped. Fails
// (status 1) when the self-test stopped every thread that ran it. Says
// nothing while threads are still unaccounted for (a stop during start-up).
Outcome<Done> report_self_test(const Setup& setup, const MiningPlan& plan, const StartupCounters& counters,
                               int threads);

}  // namespace nolu::qxt
