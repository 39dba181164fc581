#include "console/signals.hpp"

#include <csignal>

namespace nolu::qxt {

std::atomic<bool> stop_flag{false};

namespace {

void on_stop_signal(int) { stop_flag.exchange(true); }

}  // namespace

void install_signal_handlers() {
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace nolu::qxt
