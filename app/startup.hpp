// Start-up: the console, then (after cli's set_up: engine, option rules,
// tables, topology) the threads and memory, each step returning its result
// or the failure that ends the run.
#pragma once

#include <cstdint>
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

// The options resolved once: everything the run reads after start-up.
struct MiningPlan {
    bool bench = false;
    int bench_seconds = 0;  // --bench
    int threads = 1;
    bool auto_threads = true;  // the thread rule chose the count (no -t)
    int lanes = 1;          // nonces each thread hashes at once (arenas per thread)
    std::string lanes_why;  // how the automatic lane count was chosen; empty after --lanes
    ThreadChoice choice;    // the thread rule's result and the memory it saw
    HashSettings settings;  // the setup's, with the skip-store setting chosen
    bool self_test = true;  // every thread hashes the known record first (unless the settings hash wrong)
    bool recheck = true;    // every share is hashed twice before it goes out
    int nice = 0;           // added to the mining threads' nice value (--cpu-priority)
    std::string address;    // the payout address (empty when benchmarking)
    std::string tls_ca;     // --tls-ca: a private CA for TLS pools; empty: the system's store
    std::string worker;     // the worker name (the host name when not given)
    Endpoint endpoint;
    std::vector<Endpoint> backups;  // --backup-pool, in order
    std::string stats_file;         // --stats-file; empty: none
    std::string sensor_root = "/";  // the root the CPU temperature is read below
    std::int64_t start_time_s = 0;  // Unix time of the start
    std::string memory_warning;         // -t asks for more arenas than memory holds; empty otherwise
};

// The warning for threads × lanes arenas above what the budget holds
// ("-t 8 is more than memory holds: 5 arena(s) of 2048 MiB (...)"), or "".
std::string memory_warning(int threads, int lanes, std::uint64_t arena_bytes, const MemoryBudget& budget);

// The worker name: --worker, else the host name.
std::string worker_name(const Options& options);

// The plan with the login and pools of these options (the start's, or a
// reload's: the one place a reload's options reach the plan).
MiningPlan with_pools(MiningPlan plan, const Options& options);

// A payout address unless benchmarking, the thread count and the skip-store
// setting against the memory budget (a warning when -t asks for more arenas
// than it holds; the count stands), the worker name, the pools.
Outcome<MiningPlan> plan_mining(const Setup& setup, const Options& options);

}  // namespace nolu::qxt
