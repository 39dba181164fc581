#include "tests/hash/side_plan_check.hpp"

#include <vector>

namespace nolu::qxt::test {

namespace {
constexpr std::uint32_t blocks = 0x100000;
constexpr std::uint16_t none = 0xFFFF;
constexpr std::uint32_t empty = 0xFFFFFFFFu;
}  // namespace

PlanReport check_side_plan(const std::uint32_t* index, const std::uint16_t* write_slot,
                           const std::uint16_t* read_slot, std::uint32_t slots) {
    PlanReport report;
    auto fail = [&](std::uint32_t i, const std::string& what) {
        report.error = "block " + std::to_string(i) + ": " + what;
        return report;
    };
    for (std::uint32_t i = 0; i < 2; ++i) {
        if (write_slot[i] != none || read_slot[i] != none) return fail(i, "blocks 0 and 1 must have no slot");
    }
    std::vector<std::uint32_t> holds(slots, empty);
    for (std::uint32_t i = 2; i < blocks; ++i) {
        // Block i first reads its reference, then is written.
        if (const std::uint16_t s = read_slot[i]; s != none) {
            if (s >= slots) return fail(i, "read slot " + std::to_string(s) + " out of range");
            if (holds[s] != index[i]) {
                return fail(i, "slot " + std::to_string(s) + " holds " + std::to_string(holds[s]) + ", expected " +
                                   std::to_string(index[i]));
            }
            ++report.served;
            if (i - index[i] > report.max_read_distance) report.max_read_distance = i - index[i];
        }
        if (const std::uint16_t s = write_slot[i]; s != none) {
            if (s >= slots) return fail(i, "write slot " + std::to_string(s) + " out of range");
            holds[s] = i;
            ++report.cached;
        }
    }
    report.ok = true;
    return report;
}

}  // namespace nolu::qxt::test
