// What steers a mining run from outside while it runs: the shell's signals
// (SIGUSR1 pause, SIGUSR2 resume, SIGHUP reload), the thermal limit and the
// reload of the settings.
#pragma once

#include <functional>
#include <optional>

#include "app/pause_control.hpp"
#include "app/reload.hpp"
#include "app/thermal.hpp"

namespace nolu::qxt {

// Reads the settings again: the settings file and the command line over it.
using Reread = std::function<Outcome<Options>()>;

class Steering {
public:
    Steering(const Options& options, PauseControl& pause, Reread reread, ReloadTargets targets);

    // Often (the main loop calls it every 100 ms): a pause or resume signal,
    // so that the threads hold within a second of it.
    void each_step();
    // Once a second, with that second's temperature reading (the one the
    // status board shows): the thermal limit, and a reload when asked.
    void each_second(const std::optional<double>& celsius);

    // The settings in force (the start's, with what reloads applied).
    const Options& live() const { return live_; }

private:
    Options live_;
    PauseControl& pause_;
    Reread reread_;
    ReloadTargets targets_;
    std::optional<ThermalLimit> thermal_;
};

}  // namespace nolu::qxt
