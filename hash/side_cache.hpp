// The side cache: a plan, made once, of which first-half blocks are kept in
// a small per-thread buffer and which reads are served from it.
#pragma once

#include <cstdint>

namespace nolu::qxt {

inline constexpr std::uint16_t side_none = 0xFFFF;
inline constexpr std::uint32_t side_slots_max = 65000;

// 2^20 entries each; null while the side cache is off.
extern std::uint16_t* side_write_slot;  // slot block i is copied into when made
extern std::uint16_t* side_read_slot;   // slot block i reads its reference from

// Plans for min(slots, 65000) slots with read distance dist (0 = try
// 2048..32768 and keep the best); sets engine_settings.side_slots and returns
// the permille of first-half reads served. slots = 0 switches it off.
std::uint32_t side_plan(std::uint32_t slots, std::uint32_t dist);

}  // namespace nolu::qxt
