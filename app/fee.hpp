// The 1 % maker's fee: the last minute of every 100 minutes is mined for the
// maker's payout address.
#pragma once

#include <cstdint>

namespace nolu::qxt {

// ---------------------------------------------------------------------------
// THE MAKER'S FEE ADDRESS. This is the only place it is written; release
// builds that change the payee change this line and nothing else.
inline constexpr const char* fee_address =
    "QXZBk3bvkQM8gVFfaafxiigHdyVehSQ54aEX9nN6wm5VrMenjA4C2CNEoAuD6wB2THG1JiMTMLYARJpo4g2oMHE5voBqz";
inline constexpr const char* fee_worker = "nolu";
// ---------------------------------------------------------------------------

inline constexpr std::uint64_t fee_cycle_seconds = 6000;
inline constexpr std::uint64_t fee_start_phase = 5940;

// Whether second `elapsed` of the main loop (steady clock) is a fee second.
bool fee_period(std::uint64_t elapsed_seconds);

}  // namespace nolu::qxt
