#include "app/report.hpp"

#include <string>

#include "console/console.hpp"

namespace nolu::qxt {

namespace {

void print_side_line(const Setup& setup) {
    const std::uint32_t estimate = setup.side ? served_permille(*setup.side) : 0;
    log_line(colours.grey, "side ",
             "side cache " + std::to_string(side_slots(setup.settings)) + " slots · " + std::to_string(estimate / 10) + "." +
                 std::to_string(estimate % 10) + " % of first-half reads served from cache");
}

void print_skip_line(const HashSettings& settings) {
    log_line(colours.grey, "skip ",
             "skip-store from " + std::to_string(skip_permille(settings)) + " ‰ · arena " +
                 std::to_string(arena_bytes(settings) >> 20) + " MiB" +
                 (settings.rebuild ? "" : " · PROBE: no rebuild, wrong hashes"));
}

void print_lanes_line(const MiningPlan& plan) {
    if (plan.lanes <= 1) {
        log_line(colours.grey, "lanes", "one nonce per thread at once (automatic: " + plan.lanes_why + ")");
        return;
    }
    const std::uint64_t arenas = static_cast<std::uint64_t>(plan.threads) * static_cast<std::uint64_t>(plan.lanes);
    log_line(colours.grey, "lanes",
             std::to_string(plan.lanes) + " nonces per thread at once · " + std::to_string(arenas) + " arenas of " +
                 std::to_string(arena_bytes(plan.settings) >> 20) + " MiB, " +
                 std::to_string((arenas * arena_bytes(plan.settings)) >> 20) + " MiB in all" +
                 (plan.lanes_why.empty() ? "" : " (automatic: " + plan.lanes_why + "; --lanes 1 for one)"));
}

}  // namespace

void print_start_report(const Setup& setup, const MiningPlan& plan) {
    console_write(format_title_line(plan.threads));
    if (side_slots(setup.settings) > 0) print_side_line(setup);
    if (skip_permille(plan.settings) != 0) print_skip_line(plan.settings);
    log_line(colours.grey, "cpu  ",
             std::string("engine ") + setup.engine->name + " · " + std::to_string(setup.topology.cpus.size()) +
                 " physical cores · " + std::to_string(setup.topology.l3_groups) + " L3 group(s)");
    if (plan.lanes > 1 || !plan.lanes_why.empty()) print_lanes_line(plan);
    if (plan.auto_threads)
        log_line(colours.grey, "auto ",
                 format_auto_line(plan.threads, arena_bytes(plan.settings), plan.choice.budget, plan.lanes));
    if (!plan.memory_warning.empty()) log_line(colours.red, "mem  ", plan.memory_warning);
    if (!plan.bench) {
        const auto shown = [](const Endpoint& e) { return endpoint_text(e) + (e.tls ? " (TLS)" : ""); };
        log_line(colours.grey, "pool ", shown(plan.endpoint));
        for (const Endpoint& backup : plan.backups) log_line(colours.grey, "pool ", "backup " + shown(backup));
        log_line(colours.grey, "user ", plan.address + " · worker " + plan.worker);
    }
}

void print_arena_report(const StartupCounters& c) {
    if (c.failed.load() > 0)
        log_line(colours.red, "mem  ",
                 std::to_string(c.failed.load()) + " thread(s) stopped: not enough memory for a 2 GiB arena");
    log_line(colours.grey, "pages",
             std::to_string(c.huge_1g.load()) + " arena(s) in reserved 1 GiB pages, " +
                 std::to_string(c.huge.load() - c.huge_1g.load()) + " in reserved 2 MiB pages, " +
                 std::to_string(c.arenas.load() - c.huge.load()) + " in transparent huge pages");
}

}  // namespace nolu::qxt
