#include "app/pause_control.hpp"

#include <string>

#include "console/console.hpp"

namespace nolu::qxt {

bool PauseControl::request_pause(bool pause, const char* by) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (pause != requested_) {
        requested_ = pause;
        std::string line = std::string(pause ? "hashing paused" : "hashing resumed") + " (" + by + " request)";
        if (pause) line += "; arenas and pool connection kept";
        if (!pause && thermal_) line = std::string("resume (") + by + " request) waits for the CPU to cool";
        log_line(colours.bold, "pause", line);
    }
    hold_.store(requested_ || thermal_);
    return hold_.load();
}

void PauseControl::set_thermal(bool hot) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (hot && !thermal_) thermal_pauses_.fetch_add(1);
    thermal_ = hot;
    hold_.store(requested_ || thermal_);
}

}  // namespace nolu::qxt
