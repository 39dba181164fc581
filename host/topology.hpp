// Physical cores the process may run on, and their L3 groups.
#pragma once

#include <bitset>
#include <optional>
#include <string>
#include <vector>

namespace nolu::qxt {

inline constexpr int max_cpus = 1024;  // size of every affinity mask
using CpuMask = std::bitset<max_cpus>;

struct Topology {
    // One processor per physical core (its lowest allowed hardware thread),
    // interleaved over the L3 groups: 0,4,1,5,... for two groups of four.
    std::vector<int> cpus;
    int l3_groups = 0;
};

// Scans <root>/cpuN for N = 0, 1, ... up to the first missing directory.
// allowed = nothing means every processor is allowed (the affinity query
// failed).
Topology scan_topology(const std::string& root, const std::optional<CpuMask>& allowed);
// This process: its affinity mask and /sys/devices/system/cpu.
Topology scan_topology();

// Parses a sibling list such as "0,8" or "0-1" (values above 1023 dropped).
std::vector<int> parse_cpu_list(const std::string& text);

// Pins the calling thread to one processor (ignored for cpu < 0 or >= 1024).
bool pin_to_cpu(int cpu);

}  // namespace nolu::qxt
