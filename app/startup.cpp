#include "app/startup.hpp"

#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "console/console.hpp"
#include "console/log_file.hpp"
#include "console/signals.hpp"
#include "app/thermal.hpp"
#include "miner/worker.hpp"
#include "host/temperature.hpp"

namespace nolu::qxt {

namespace {

std::string host_name_worker() {
    char buffer[64] = "rig";
    gethostname(buffer, 63);
    buffer[63] = '\0';
    return buffer;
}

}  // namespace

std::string worker_name(const Options& options) {
    return options.worker.empty() ? host_name_worker() : options.worker;
}

std::string memory_warning(int threads, int lanes, std::uint64_t arena, const MemoryBudget& b) {
    const std::int64_t fit = std::int64_t{b.fit_1g} + b.fit_2m + b.fit_ram;
    const std::int64_t arenas = std::int64_t{threads} * std::max(lanes, 1);
    if (threads <= 0 || arenas <= fit) return "";
    const std::string asked = lanes > 1 ? " --lanes " + std::to_string(lanes) + " (" + std::to_string(arenas) + " arenas)"
                                        : "";
    return "-t " + std::to_string(threads) + asked + " is more than memory holds: " + std::to_string(fit) + " arena(s) of " +
           std::to_string(arena >> 20) + " MiB (" + std::to_string(b.fit_1g) + " in 1 GiB pages, " +
           std::to_string(b.fit_2m) + " in 2 MiB pages, " + std::to_string(b.fit_ram) + " in " +
           std::to_string(b.available / (1 << 20)) + " MiB available); the system may run out of memory";
}

Outcome<Done> open_console(const Options& options) {
    if (!options.log_file.empty())
        if (const Status opened = open_log_file(options.log_file); !opened)
            return command_line_failure(opened.error().message);
    if (options.color) enable_log_colours();
    print_banner(product_title, product_subtitle, version_text, options.color);
    install_signal_handlers();
    return Done{};
}

MiningPlan with_pools(MiningPlan plan, const Options& o) {
    plan.address = o.address;
    plan.worker = worker_name(o);
    plan.endpoint = o.pool_endpoint;
    plan.backups = o.backup_endpoints;
    plan.tls_ca = o.tls_ca;
    return plan;
}

Outcome<MiningPlan> plan_mining(const Setup& setup, const Options& o) {
    MiningPlan plan;
    plan.bench = o.bench > 0;
    plan.bench_seconds = o.bench;
    if (!plan.bench && o.address.empty())
        return command_line_failure("a QXT payout address is required: -u <address>");
    plan.sensor_root = sensor_root_from_environment();
    if (const Outcome<Done> sensor = check_thermal_sensor(o.max_temp, plan.sensor_root); !sensor) return sensor.error();

    const int cores = static_cast<int>(setup.topology.cpus.size());
    plan.lanes = std::max(o.lanes, 1);
    plan.choice = choose_threads(
        cores, o.threads, effective_skip(*setup.engine, o), o.rebuild,
        [](std::uint64_t arena) { return probe_memory(arena); }, plan.lanes);
    plan.threads = plan.choice.threads;
    plan.auto_threads = o.threads <= 0;
    if (!o.lanes_given && o.rebuild) {
        const LaneChoice lanes = choose_lanes(plan.choice, static_cast<int>(setup.engine->default_lanes),
                                                setup.engine->lanes_in_pairs);
        plan.lanes = lanes.lanes;
        plan.lanes_why = lanes.why;
    }
    plan.settings = with_skip(setup.settings, plan.choice.skip, plan.choice.rebuild);
    plan.settings.prefault = true;  // the arenas are real before the first hash, and before the speed is counted
    plan.self_test = o.self_test;
    plan.recheck = o.recheck;
    plan.nice = priority_nice(o.cpu_priority);
    plan.stats_file = o.stats_file;
    plan.start_time_s = static_cast<std::int64_t>(std::time(nullptr));
    plan = with_pools(plan, o);
    plan.memory_warning = memory_warning(o.threads, plan.lanes, arena_bytes(plan.settings), plan.choice.budget);
    return plan;
}

}  // namespace nolu::qxt
