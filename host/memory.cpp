#include "host/memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>

#include "hash/settings.hpp"

namespace nolu::qxt {

std::int64_t read_number(const std::string& path, std::int64_t fallback) {
    std::ifstream in(path);
    std::int64_t value = 0;
    if (in && in >> value) return value;
    return fallback;
}

MemoryBudget probe_memory(std::uint64_t arena, const std::string& root) {
    MemoryBudget b;
    const std::string base = root.empty() || root.back() != '/' ? root + "/" : root;

    const std::int64_t free_1g = read_number(base + "sys/kernel/mm/hugepages/hugepages-1048576kB/free_hugepages", 0);
    const std::int64_t free_2m = read_number(base + "sys/kernel/mm/hugepages/hugepages-2048kB/free_hugepages", 0);
    const std::int64_t pages_1g = static_cast<std::int64_t>((arena + (1ull << 30) - 1) >> 30);
    const std::int64_t pages_2m = static_cast<std::int64_t>((arena + (1ull << 21) - 1) >> 21);
    if (pages_1g > 0 && free_1g > 0) b.fit_1g = static_cast<std::int32_t>(std::min<std::int64_t>(free_1g / pages_1g, 1 << 30));
    if (pages_2m > 0 && free_2m > 0) b.fit_2m = static_cast<std::int32_t>(std::min<std::int64_t>(free_2m / pages_2m, 1 << 30));

    std::int64_t mem_available_kb = 0;
    {
        std::ifstream in(base + "proc/meminfo");
        std::string word;
        std::int64_t number = 0;
        while (in >> word >> number) {
            if (word == "MemAvailable:") {
                mem_available_kb = number;
                break;
            }
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        }
    }
    b.available = mem_available_kb * 1024;

    std::int64_t limit = -1;
    {
        std::ifstream in(base + "sys/fs/cgroup/memory.max");
        std::string word;
        if (in >> word) {
            limit = word == "max" ? -1 : std::strtol(word.c_str(), nullptr, 10);
        } else {
            limit = read_number(base + "sys/fs/cgroup/memory/memory.limit_in_bytes", -1);
            if (limit < 1 || limit >= (std::int64_t{1} << 50)) limit = -1;
        }
    }
    b.cgroup_limit = limit;
    if (limit > 0) {
        std::int64_t usage = read_number(base + "sys/fs/cgroup/memory.current", -1);
        if (usage < 0) usage = read_number(base + "sys/fs/cgroup/memory/memory.usage_in_bytes", 0);
        const std::int64_t headroom = std::max<std::int64_t>(limit - usage, 0);
        b.available = std::min(b.available, headroom);
    }

    if (arena > 0) {
        const std::int64_t fit = (b.available - memory_reserve) / static_cast<std::int64_t>(arena);
        b.fit_ram = fit > 0 ? static_cast<std::int32_t>(std::min<std::int64_t>(fit, 1 << 30)) : 0;
    }
    return b;
}

int arenas_that_fit(const MemoryBudget& b) {
    const std::int64_t sum = std::int64_t{b.fit_1g} + b.fit_2m + b.fit_ram;
    return static_cast<int>(std::min<std::int64_t>(sum, 1 << 30));
}

ThreadChoice choose_threads(int cores, int option_threads, int option_skip, bool option_rebuild,
                            const std::function<MemoryBudget(std::uint64_t)>& probe, int lanes) {
    const auto arena_for = [](std::uint32_t permille, bool rebuild) {
        return arena_bytes(with_skip(HashSettings{}, permille, rebuild));
    };
    // Threads whose arenas all fit.
    const auto fits = [lanes](const MemoryBudget& b) { return arenas_that_fit(b) / std::max(lanes, 1); };
    ThreadChoice choice;
    const int full = std::max(1, std::min(cores, fits(probe(arena_for(0, true)))));

    if (option_skip == 0) {
        choice.threads = option_threads > 0 ? option_threads : full;
    } else {
        choice.skip = option_skip > 0 ? static_cast<std::uint32_t>(option_skip) : 600u;
        choice.rebuild = option_rebuild;
        int candidate = std::max(1, std::min(cores, fits(probe(arena_for(choice.skip, choice.rebuild)))));
        // Skip-store pays only with 4 threads or more, unless asked for.
        bool keep;
        if (option_threads <= 0) {
            candidate = std::min(candidate, full + 1);
            keep = candidate > 3 || option_skip > 0;
            choice.threads = keep ? candidate : full;
        } else {
            choice.threads = option_threads;
            keep = choice.threads > 3 || option_skip > 0;
        }
        if (!keep) {
            choice.skip = 0;
            choice.rebuild = true;
        }
    }
    choice.budget = probe(arena_for(choice.skip, choice.rebuild));
    return choice;
}

LaneChoice choose_lanes(const ThreadChoice& choice, int preferred) {
    LaneChoice lanes;
    if (preferred <= 1) {
        lanes.why = "the engine has no lanes";
        return lanes;
    }
    if (choice.skip != 0) {
        lanes.why = "skip-store is on";
        return lanes;
    }
    const int per_thread = arenas_that_fit(choice.budget) / std::max(choice.threads, 1);
    lanes.lanes = std::clamp(per_thread, 1, preferred);
    if (lanes.lanes == 1) {
        lanes.why = "memory holds one arena per thread";
    } else {
        lanes.why = "memory holds " + std::to_string(per_thread) + " arenas per thread, and " +
                    std::to_string(lanes.lanes) + " lanes hash faster than one";
    }
    return lanes;
}

std::string format_auto_line(int threads, std::uint64_t arena, const MemoryBudget& b, int lanes) {
    std::string line = std::to_string(threads) + " threads";
    if (lanes > 1)
        line += " × " + std::to_string(lanes) + " lanes = " + std::to_string(threads * lanes) + " arenas";
    line += " — " + std::to_string(arena >> 20) + " MiB of RAM each (" +
                       std::to_string(b.fit_1g) + " in 1 GiB pages, " + std::to_string(b.fit_2m) +
                       " in 2 MiB pages, " + std::to_string(b.fit_ram) + " in " +
                       std::to_string(b.available / (1 << 20)) + " MiB available";
    if (b.cgroup_limit > 0) line += ", cgroup limit " + std::to_string(b.cgroup_limit / (1 << 20)) + " MiB";
    line += "), override with -t <n>";
    return line;
}

}  // namespace nolu::qxt
