// How many 2 GiB (or skip-store sized) arenas this host can carry: huge
// pages, available memory and the cgroup limit, read from a root folder.
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

// Arenas of arena_bytes the budget holds in all (huge pages and RAM).
int arenas_that_fit(const MemoryBudget& budget);

}  // namespace nolu::qxt
