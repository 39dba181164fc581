#include "cli/setup.hpp"

namespace nolu::qxt {

Outcome<Setup> set_up(const Options& options, const IsaSupport& isa) {
    Setup setup;
    const Expected<const EngineRow*> engine = choose_engine(options.engine, isa);
    if (!engine) return processor_failure(engine.error().message);
    setup.engine = *engine;
    if (const Outcome<Done> rules = check_option_rules(*setup.engine, options); !rules) return rules.error();

    setup.settings.reft = options.reft;
    if (const Status prepared = setup.engine->prepare(setup.settings); !prepared)
        return memory_failure(prepared.error().message);
    if (setup.engine->memory_options && options.side >= 1) {
        const auto dist = static_cast<std::uint32_t>(options.side_dist > 0 ? options.side_dist : 0);
        setup.side = std::make_unique<SidePlan>(
            side_plan(setup.settings.index_table, static_cast<std::uint32_t>(options.side), dist));
        setup.settings.side = setup.side.get();
    }
    setup.topology = scan_topology();
    return setup;
}

}  // namespace nolu::qxt
