// How many 2 GiB (or skip-store sized) arenas this host can carry, and the
// thread count and skip-store setting that follow from it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace nolu::qxt {

struct MemoryBudget {
    std::int64_t available = 0;     // MemAvailable, lowered to the cgroup headroom
    std::int64_t cgroup_limit = -1; // -1 = no limit
    std::int32_t fit_1g = 0;        // arenas in free reserved 1 GiB pages
    std::int32_t fit_2m = 0;        // arenas in free reserved 2 MiB pages
    std::int32_t fit_ram = 0;       // arenas in available memory after the reserve
};

// Memory kept back for the rest of the system: 1.5 GiB.
inline constexpr std::int64_t memory_reserve = 0x60000000;

// One decimal integer from a file (leading white space skipped), or fallback.
std::int64_t read_number(const std::string& path, std::int64_t fallback);

// Reads the huge-page counters, /proc/meminfo and the cgroup v2 / v1 memory
// files below root ("/" on a real system) for arenas of arena_bytes each.
MemoryBudget probe_memory(std::uint64_t arena_bytes, const std::string& root = "/");

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

// Arenas of arena_bytes the budget holds in all (huge pages and RAM).
int arenas_that_fit(const MemoryBudget& budget);

struct LaneChoice {
    int lanes = 1;
    std::string why;  // for the start-up report
};

// The automatic lane count (no --lanes), after the thread rule: `preferred`
// lanes (what measured fastest for the engine; 1 for none) when the budget,
// probed for full arenas, holds that many for every thread, else the most
// from 2 up that it holds, else one. Lanes never take a thread's place, and
// they stay off where the thread rule turned skip-store on.
LaneChoice choose_lanes(const ThreadChoice& threads, int preferred);

// "N threads — M MiB of RAM each (a in 1 GiB pages, b in 2 MiB pages, c in X MiB available[, cgroup limit Y MiB]), override with -t <n>"
// With lanes above 1: "N threads × L lanes = A arenas — M MiB of RAM each (...), override with -t <n>".
std::string format_auto_line(int threads, std::uint64_t arena_bytes, const MemoryBudget& budget, int lanes = 1);

}  // namespace nolu::qxt
