#include "host/topology.hpp"

#include <sched.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>

namespace nolu::qxt {

std::vector<int> parse_cpu_list(const std::string& text) {
    std::vector<int> cpus;
    const std::size_t n = text.size();
    auto read_number = [&](std::size_t& i) {
        std::uint64_t value = 0;
        while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
            if (value < (1u << 20)) value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
        }
        return value;
    };
    std::size_t i = 0;
    while (i < n) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        const std::uint64_t a = read_number(i);
        std::uint64_t b = a;
        if (i < n && text[i] == '-') {
            ++i;
            b = read_number(i);
        }
        if (b > max_cpus - 1) b = max_cpus - 1;
        for (std::uint64_t cpu = a; cpu <= b; ++cpu) cpus.push_back(static_cast<int>(cpu));
    }
    return cpus;
}

Topology scan_topology(const std::string& root, const std::optional<CpuMask>& allowed) {
    auto is_allowed = [&](int cpu) { return !allowed || (cpu >= 0 && cpu < max_cpus && allowed->test(cpu)); };

    std::map<long long, std::vector<int>> groups;
    for (int n = 0; n < max_cpus; ++n) {
        const std::string dir = root + "/cpu" + std::to_string(n);
        if (access(dir.c_str(), F_OK) != 0) break;
        if (!is_allowed(n)) continue;

        std::string siblings;
        {
            std::ifstream in(dir + "/topology/thread_siblings_list");
            std::getline(in, siblings);
        }
        bool first_of_core = true;
        for (int s : parse_cpu_list(siblings)) {
            if (s < n && is_allowed(s)) {
                first_of_core = false;
                break;
            }
        }
        if (!first_of_core) continue;

        long long l3 = 0;
        {
            std::ifstream in(dir + "/cache/index3/id");
            if (!(in >> l3)) l3 = 0;
        }
        groups[l3].push_back(n);
    }

    Topology topology;
    topology.l3_groups = static_cast<int>(groups.size());
    for (std::size_t r = 0;; ++r) {
        bool appended = false;
        for (const auto& [id, members] : groups) {
            if (members.size() > r) {
                topology.cpus.push_back(members[r]);
                appended = true;
            }
        }
        if (!appended) break;
    }
    return topology;
}

Topology scan_topology() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::optional<CpuMask> allowed;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        CpuMask mask;
        for (int cpu = 0; cpu < max_cpus; ++cpu)
            if (CPU_ISSET(cpu, &set)) mask.set(cpu);
        allowed = mask;
    }
    return scan_topology("/sys/devices/system/cpu", allowed);
}

bool pin_to_cpu(int cpu) {
    if (cpu < 0) return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu < max_cpus) CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

}  // namespace nolu::qxt
