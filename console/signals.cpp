#include "console/signals.hpp"

#include <csignal>

namespace nolu::qxt {

std::atomic<bool> stop_flag{false};

namespace {

std::atomic<int> pause_signal{0};
std::atomic<bool> reload_signal{false};

void on_stop_signal(int) { stop_flag.exchange(true); }

void on_request_signal(int sig) {
    if (sig == SIGHUP) {
        reload_signal.store(true);
    } else {
        pause_signal.store(static_cast<int>(sig == SIGUSR1 ? PauseSignal::pause : PauseSignal::resume));
    }
}

}  // namespace

PauseSignal take_pause_signal() { return static_cast<PauseSignal>(pause_signal.exchange(0)); }

bool take_reload_signal() { return reload_signal.exchange(false); }

void install_signal_handlers() {
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    std::signal(SIGUSR1, on_request_signal);
    std::signal(SIGUSR2, on_request_signal);
    std::signal(SIGHUP, on_request_signal);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace nolu::qxt
