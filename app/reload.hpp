// A reload (SIGHUP): the settings file and the command line over it are read
// again; what a running miner can change without new arenas is applied (the
// pool list and the login, the log file, the HTTP token), and the options
// that need a restart are named in one console line.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "console/failure.hpp"

namespace nolu::qxt {

struct ReloadPlan {
    bool pools = false;     // the pools, backups, payout address or worker: the pool client reconnects
    bool log_file = false;
    bool token = false;
    std::vector<std::string> restart;  // the changed options that need a restart, as "--threads"
};

// What changes from the settings in force (now) to the ones read again (next).
ReloadPlan plan_reload(const Options& now, const Options& next);

// Where a reload's changes go; each returns a failure message, empty when applied.
struct ReloadTargets {
    std::function<void(const Options&)> pools;             // reconnect with the new pool settings
    std::function<std::string(const std::string&)> token;  // the status server's token
    std::function<std::string(const std::string&)> log_file;
};

// Applies next (the outcome of reading the settings again) over live, which
// becomes the settings in force; a failed read, or a change that cannot be
// applied, keeps the earlier value with a red line. Writes the "conf " lines.
void apply_reload(Options& live, const Outcome<Options>& next, const ReloadTargets& targets);

}  // namespace nolu::qxt
