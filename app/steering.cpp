#include "app/steering.hpp"

#include "console/console.hpp"
#include "console/signals.hpp"

namespace nolu::qxt {

Steering::Steering(const Options& options, PauseControl& pause, Reread reread, ReloadTargets targets)
    : live_(options),
      pause_(pause),
      reread_(std::move(reread)),
      targets_(std::move(targets)) {
    if (options.max_temp > 0) thermal_.emplace(options.max_temp);
}

void Steering::each_step() {
    switch (take_pause_signal()) {
        case PauseSignal::pause: pause_.request_pause(true, "SIGUSR1"); break;
        case PauseSignal::resume: pause_.request_pause(false, "SIGUSR2"); break;
        case PauseSignal::none: break;
    }
}

void Steering::each_second(const std::optional<double>& celsius) {
    if (thermal_) {
        const ThermalLimit::Change change = thermal_->reading(celsius);
        if (change != ThermalLimit::Change::none) {
            pause_.set_thermal(thermal_->hot());
            log_line(thermal_->hot() ? colours.red : colours.green, "temp ", thermal_->line(change, *celsius));
        }
    }
    if (take_reload_signal()) apply_reload(live_, reread_(), targets_);
}

}  // namespace nolu::qxt
