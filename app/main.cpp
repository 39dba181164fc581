// korven-qxt: command-line miner for the QXT coin.
#include "app/console.hpp"
#include "app/failure.hpp"
#include "app/offline.hpp"
#include "app/options.hpp"
#include "app/report.hpp"
#include "app/run_loop.hpp"
#include "app/startup.hpp"
#include "app/tune.hpp"
#include "host/cpu_features.hpp"

using namespace nolu::qxt;

int main(int argc, char** argv) {
    const Outcome<Options> options = parse_options(argc, argv);
    if (!options) return report_failure(options.error());
    if (options->help) return print_usage(argv[0]);
    open_console(*options);
    const IsaSupport isa = detect_isa();
    const Outcome<Setup> setup = set_up(*options, isa);
    if (!setup) return report_failure(setup.error());
    if (!options->verify.empty()) return run_verify(*setup);
    if (options->tune) return run_tune(*setup, isa);
    const Outcome<MiningPlan> plan = plan_mining(*setup);
    if (!plan) return report_failure(plan.error());
    print_start_report(*setup, *plan);
    return plan->bench ? run_benchmark(*setup, *plan) : run_mining(*setup, *plan);
}
