// The side cache: a plan, made once, of which first-half blocks are kept in
// a small per-thread buffer and which reads are served from it.
#pragma once

#include <cstdint>
#include <vector>

namespace nolu::qxt {

inline constexpr std::uint16_t side_none = 0xFFFF;
inline constexpr std::uint32_t side_slots_max = 65000;

struct SidePlan {
    std::uint32_t slots = 0;                 // 1 KiB slots per arena; 0 = no side cache
    std::uint32_t dist = 0;                  // the read distance the plan was made for
    std::uint32_t served = 0;                // first-half reads served from the buffer
    std::vector<std::uint16_t> write_slot;   // 2^20 entries: slot block i is copied into, or side_none
    std::vector<std::uint16_t> read_slot;    // 2^20 entries: slot block i reads its reference from
};

// Plans min(slots, 65000) slots for the given index table, with read
// distance dist (0 = try 2048..32768 and keep the plan serving most reads).
// slots = 0 gives the empty plan; otherwise index_table must be built.
SidePlan side_plan(const std::uint32_t* index_table, std::uint32_t slots, std::uint32_t dist);

// Permille of the first half's reads that the plan serves.
std::uint32_t served_permille(const SidePlan& plan);

}  // namespace nolu::qxt
