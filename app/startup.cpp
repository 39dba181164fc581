#include "app/startup.hpp"

#include <unistd.h>

#include <algorithm>

#include "app/console.hpp"
#include "app/signals.hpp"

namespace nolu::qxt {

namespace {

std::string host_name_worker() {
    char buffer[64] = "rig";
    gethostname(buffer, 63);
    buffer[63] = '\0';
    return buffer;
}

}  // namespace

void open_console(const Options& options) {
    if (options.color) enable_log_colours();
    print_banner(product_title, product_subtitle, version_text, options.color);
    install_signal_handlers();
}

Outcome<Setup> set_up(const Options& options, const IsaSupport& isa) {
    Setup setup;
    setup.options = options;
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

Outcome<MiningPlan> plan_mining(const Setup& setup) {
    const Options& o = setup.options;
    MiningPlan plan;
    plan.bench = o.bench > 0;
    if (!plan.bench && o.address.empty())
        return command_line_failure("a QXT payout address is required: -u <address>");

    const int cores = static_cast<int>(setup.topology.cpus.size());
    plan.lanes = std::max(o.lanes, 1);
    plan.choice = choose_threads(
        cores, o.threads, effective_skip(*setup.engine, o), o.rebuild,
        [](std::uint64_t arena) { return probe_memory(arena); }, plan.lanes);
    plan.threads = plan.choice.threads;
    plan.settings = with_skip(setup.settings, plan.choice.skip, plan.choice.rebuild);
    plan.settings.prefault = true;  // the arenas are real before the first hash, and before the speed is counted
    plan.worker = o.worker.empty() ? host_name_worker() : o.worker;
    plan.endpoint = *split_pool(o.pool);  // the parser has checked the port
    return plan;
}

}  // namespace nolu::qxt
