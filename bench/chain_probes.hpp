// The chain probes of bench_engines (--chains): what limits lanes, measured
// without hashing.
#pragma once

#include <ctime>

#include "hash/engine_table.hpp"

namespace nolu::qxt {

// Runs the probe table `rounds` times in alternating order with the engine's
// chain probe on one thread and prints medians and spread. Returns the exit
// status (1 when the engine has no chain probe).
int run_chain_probes(const EngineRow& engine, unsigned rounds, clockid_t clock);

}  // namespace nolu::qxt
