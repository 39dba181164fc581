// --dry-run: the checks a start makes (the settings file and the command
// line, the option rules, the processor, the thread and memory plan, the
// thermal sensor, the status server's address), and what would run, without
// starting anything: no arena, no pool, no server, no file written.
#pragma once

#include "cli/options.hpp"
#include "host/isa_support.hpp"

namespace nolu::qxt {

// 0 when a start would go ahead, else the status that start would end with
// (its line said as at a start).
int run_dry(const Options& options, const IsaSupport& isa);

}  // namespace nolu::qxt
