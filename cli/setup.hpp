// The command line resolved against this processor: the engine, the option
// rules, the engine's tables, the side-cache plan and the topology. The
// offline modes, the tuner and the run all start from it.
#pragma once

#include <memory>

#include "cli/options.hpp"
#include "console/failure.hpp"
#include "hash/engine_table.hpp"
#include "hash/settings.hpp"
#include "hash/side_cache.hpp"
#include "host/isa_support.hpp"
#include "host/topology.hpp"

namespace nolu::qxt {

// The options themselves stay with main: what each mode reads of them is
// resolved into its own value (the mining plan, the verify and tune requests).
struct Setup {
    const EngineRow* engine = nullptr;
    std::unique_ptr<SidePlan> side;  // owns the plan settings.side points to
    HashSettings settings;           // the engine's tables, side cache and --reft; skip-store off
    Topology topology;
};

// The engine for this processor, the option rules, the engine's index table,
// the side-cache plan and the topology.
Outcome<Setup> set_up(const Options& options, const IsaSupport& isa);

}  // namespace nolu::qxt
