// -V/--version: the version, and the engines of the engine table that this
// processor can run (the first is the one chosen without --engine).
#pragma once

#include <string>

#include "hash/engine_table.hpp"

namespace nolu::qxt {

// "korven-qxt v1.0.2\nengines: avx512 avx2 (default: avx512)\n"
std::string version_report(const IsaSupport& isa);

// Prints the report for this processor on standard output; returns 0.
int print_version();

}  // namespace nolu::qxt
