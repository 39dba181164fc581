#include "host/memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>


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

}  // namespace nolu::qxt
