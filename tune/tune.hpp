// --tune: short measured trials of the settings this machine can hold, a
// table of them by speed, and with --config the fastest saved. The choices
// are in plan, a trial in trial, the saving in config.
#pragma once

#include <string>

#include "cli/setup.hpp"

namespace nolu::qxt {

// Returns the exit status: 0 after the table (also when stopped by a
// signal), 1 when nothing fits in memory or the file cannot be written.
struct TuneRequest {
    std::string engine;  // --engine as given ("" or a name the setup may not have honoured)
    int threads = 0;     // -t: above 0, the one thread count tried
    int seconds = 0;     // the trials' time in all; 0 = the default
    std::string config;  // -c: where the fastest setting is written; "" = nowhere
};
int run_tune(const Setup& setup, const TuneRequest& request, const IsaSupport& isa);

}  // namespace nolu::qxt
