// The thread rule: how many mining threads, and whether skip-store stays
// on, for the cores and the memory this host has.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/memory.hpp"

namespace nolu::qxt {

struct ThreadChoice {
    int threads = 1;
    std::uint32_t skip = 0;  // the skip-store permille (as skip_point reads it), 0 = off
    bool rebuild = true;
    MemoryBudget budget;     // probed for the arena size finally in force
};

// The thread rule: from the physical core count and the options (-t, --skip,
// --skip-norebuild, --lanes) settles the thread count and whether skip-store
// stays on. The memory counts arenas: a thread with n lanes holds n of them.
// probe is called with the arena size of each layout it weighs.
ThreadChoice choose_threads(int cores, int option_threads, int option_skip, bool option_rebuild,
                            const std::function<MemoryBudget(std::uint64_t)>& probe, int lanes = 1);

struct LaneChoice {
    int lanes = 1;
    std::string why;  // for the start-up report
};

// The automatic lane count (no --lanes), after the thread rule: `preferred`
// lanes (what measured fastest for the engine: EngineRow::default_lanes) when the budget,
// probed for full arenas, holds that many for every thread, else the most
// from 2 up that it holds (an even count for an engine that runs lanes in
// pairs), else one. Lanes never take a thread's place, and they stay off
// where the thread rule turned skip-store on.
LaneChoice choose_lanes(const ThreadChoice& threads, int preferred, bool paired = false);

// "N threads — M MiB of RAM each (a in 1 GiB pages, b in 2 MiB pages, c in X MiB available[, cgroup limit Y MiB]), override with -t <n>"
// With lanes above 1: "N threads × L lanes = A arenas — M MiB of RAM each (...), override with -t <n>".
std::string format_auto_line(int threads, std::uint64_t arena_bytes, const MemoryBudget& budget, int lanes = 1);

}  // namespace nolu::qxt
