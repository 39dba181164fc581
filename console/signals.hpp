// The process-wide signal flags: the stop flag (SIGINT, SIGTERM), read by
// every loop, and the requests the shell makes of a mining run (SIGUSR1
// pause, SIGUSR2 resume, SIGHUP reload), taken by its main loop.
#pragma once

#include <atomic>

namespace nolu::qxt {

extern std::atomic<bool> stop_flag;

enum class PauseSignal : int { none = 0, pause = 1, resume = 2 };

// What the main loop has to do, each request once: the latest of SIGUSR1
// and SIGUSR2 not yet taken, and whether SIGHUP came since the last look.
PauseSignal take_pause_signal();
bool take_reload_signal();

// SIGINT and SIGTERM set the stop flag, SIGUSR1, SIGUSR2 and SIGHUP the
// requests (so SIGHUP no longer ends the miner); SIGPIPE is ignored, so a
// dropped pool connection shows as a send error.
void install_signal_handlers();

}  // namespace nolu::qxt
