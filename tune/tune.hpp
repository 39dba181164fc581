// --tune: short measured trials of the settings this machine can hold, a
// table of them by speed, and with --config the fastest saved. The choices
// are in tune_plan, a trial in tune_trial, the saving in tune_config.
#pragma once

#include "cli/setup.hpp"

namespace nolu::qxt {

// Returns the exit status: 0 after the table (also when stopped by a
// signal), 1 when nothing fits in memory or the file cannot be written.
int run_tune(const Setup& setup, const IsaSupport& isa);

}  // namespace nolu::qxt
