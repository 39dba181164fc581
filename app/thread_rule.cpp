#include "app/thread_rule.hpp"

#include <algorithm>

#include "hash/settings.hpp"

namespace nolu::qxt {

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

LaneChoice choose_lanes(const ThreadChoice& choice, int preferred, bool paired) {
    LaneChoice lanes;
    if (preferred <= 1) {
        lanes.why = "more measured no faster with this engine";
        return lanes;
    }
    if (choice.skip != 0) {
        lanes.why = "skip-store is on";
        return lanes;
    }
    const int per_thread = arenas_that_fit(choice.budget) / std::max(choice.threads, 1);
    const int fit = std::clamp(per_thread, 1, preferred);
    // An odd count short of the preference leaves one lane unpaired.
    lanes.lanes = paired && fit > 1 && fit < preferred && fit % 2 != 0 ? fit - 1 : fit;
    if (lanes.lanes == 1) {
        lanes.why = "memory holds one arena per thread";
    } else {
        lanes.why = "memory holds " + std::to_string(per_thread) + " arenas per thread, and " +
                    std::to_string(lanes.lanes) + " lanes hash faster than one";
        if (lanes.lanes != fit) lanes.why += " (this engine runs lanes in pairs)";
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
