// Start-up: the console, then (after cli's set_up: engine, option rules,
// tables, topology) the threads and memory, each step returning its result
// or the failure that ends the run.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/thread_rule.hpp"
#include "cli/setup.hpp"
#include "console/failure.hpp"

namespace nolu::qxt {

// The log file (--log-file; a path that cannot be opened fails, status 2),
// colours, the banner and the signal handlers.
Outcome<Done> open_console(const Options& options);

struct MiningPlan {
    bool bench = false;
    int threads = 1;
    int lanes = 1;          // nonces each thread hashes at once (arenas per thread)
    std::string lanes_why;  // how the automatic lane count was chosen; empty after --lanes
    ThreadChoice choice;    // the thread rule's result and the memory it saw
    HashSettings settings;  // the setup's, with the skip-store setting chosen
    std::string worker;     // the worker name (the host name when not given)
    Endpoint endpoint;
    std::vector<Endpoint> backups;  // --backup-pool, in order
    std::string memory_warning;         // -t asks for more arenas than memory holds; empty otherwise
};

// The warning for threads × lanes arenas above what the budget holds
// ("-t 8 is more than memory holds: 5 arena(s) of 2048 MiB (...)"), or "".
std::string memory_warning(int threads, int lanes, std::uint64_t arena_bytes, const MemoryBudget& budget);

// A payout address unless benchmarking, the thread count and the skip-store
// setting against the memory budget (a warning when -t asks for more arenas
// than it holds; the count stands), the worker name, the pools.
Outcome<MiningPlan> plan_mining(const Setup& setup);

}  // namespace nolu::qxt
