// Independent check of a side-cache plan: walks the first half in block
// order, tracking which block each slot holds, and proves that every planned
// read finds exactly the block it expects.
#pragma once

#include <cstdint>
#include <string>

namespace nolu::qxt::test {

struct PlanReport {
    bool ok = false;
    std::string error;          // first violation, empty when ok
    std::uint32_t served = 0;   // reads served from the side buffer
    std::uint32_t cached = 0;   // blocks copied into a slot
    std::uint32_t max_read_distance = 0;
};

// index: 2^20 reference indices; write_slot/read_slot: the two plan tables.
PlanReport check_side_plan(const std::uint32_t* index, const std::uint16_t* write_slot,
                           const std::uint16_t* read_slot, std::uint32_t slots);

}  // namespace nolu::qxt::test
