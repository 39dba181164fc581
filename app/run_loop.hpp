// The two ways a run goes once start-up is done: the benchmark (no pool,
// ends after its seconds) and mining (the pool client, the fee switch, the
// speed line and the statistics file every 10 s, until a signal). Both
// publish a snapshot to the status board once a second.
#pragma once

#include "app/startup.hpp"
#include "app/steering.hpp"
#include "status/board.hpp"
#include "status/service.hpp"

namespace nolu::qxt {

// Both return the exit status. Mining also takes its steering: the status
// server's pause and resume and its token, and reread for a reload (SIGHUP).
int run_benchmark(const Setup& setup, const MiningPlan& plan, StatusBoard& board);
// start: the options the plan was made from, which a reload compares with.
int run_mining(const Setup& setup, const MiningPlan& plan, const Options& start, StatusService& service,
               const Reread& reread);

}  // namespace nolu::qxt
