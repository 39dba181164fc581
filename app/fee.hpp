// The 1 % maker's fee: the last minute of every 100 minutes is mined for the
// maker's payout address.
#pragma once

#include <cstdint>
#include <functional>

#include "pool/config.hpp"

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

// Switches the pool connection between the user's address and the maker's
// on the schedule: reconnect is called with the configuration to mine for
// (after a stop of the old connection), announce with the "fee  " line.
class FeeSwitch {
public:
    FeeSwitch(Config user, std::function<void(const Config&)> reconnect,
              std::function<void(const char* line)> announce);

    // One tick of the main loop, elapsed whole seconds after its start.
    void tick(std::uint64_t elapsed_seconds);
    bool in_fee() const { return in_fee_; }
    // New user settings (a reload: pools, address, worker): reconnects at
    // once to them, or during the fee minute to the maker's on the new pools.
    void set_user(Config user);

private:
    Config config_now() const;

    Config user_;
    std::function<void(const Config&)> reconnect_;
    std::function<void(const char*)> announce_;
    bool in_fee_ = false;
};

}  // namespace nolu::qxt
