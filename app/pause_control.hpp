// Why hashing is paused: a request (POST /pause, SIGUSR1) and the thermal
// limit, each on its own; the mining threads read one flag that is set while
// either holds. The arenas stay mapped and the pool connection stays up, so
// a resume goes on at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "status/service.hpp"

namespace nolu::qxt {

class PauseControl final : public RunControl {
public:
    // The flag for WorkerParams::hold.
    const std::atomic<bool>* hold_flag() const { return &hold_; }

    // A request from the HTTP server or a signal: one console line when it
    // changes the request, none when it repeats it.
    bool request_pause(bool pause, const char* by) override;
    // The thermal limit's verdict (the thermal watch writes its own lines);
    // each start of a thermal pause is counted.
    void set_thermal(bool hot);

    bool paused() const { return hold_.load(); }
    std::uint64_t thermal_pauses() const { return thermal_pauses_.load(); }

private:
    std::mutex mutex_;  // orders the two reasons' changes; hold_ follows them
    bool requested_ = false;
    bool thermal_ = false;
    std::atomic<bool> hold_{false};
    std::atomic<std::uint64_t> thermal_pauses_{0};
};

}  // namespace nolu::qxt
