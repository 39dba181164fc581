// The start-up report: the title line and what start-up chose (side cache,
// skip-store, engine and cores, the automatic thread count, pool and user),
// and, once the threads hold their arenas, where the arenas went.
#pragma once

#include "app/startup.hpp"
#include "miner/worker.hpp"

namespace nolu::qxt {

void print_start_report(const Setup& setup, const MiningPlan& plan);

// The red line for threads without an arena (when there are any) and the
// page kinds of the arenas.
void print_arena_report(const StartupCounters& counters);

}  // namespace nolu::qxt
