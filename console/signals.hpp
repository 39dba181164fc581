// The process-wide stop flag: set by SIGINT and SIGTERM, read by every loop.
#pragma once

#include <atomic>

namespace nolu::qxt {

extern std::atomic<bool> stop_flag;

// SIGINT and SIGTERM set the stop flag; SIGPIPE is ignored, so a dropped pool
// connection shows as a send error.
void install_signal_handlers();

}  // namespace nolu::qxt
