// korven-qxt: command-line miner for the QXT coin.
#include "console/console.hpp"
#include "console/failure.hpp"
#include "offline/offline.hpp"
#include "cli/options.hpp"
#include "app/report.hpp"
#include "app/run_loop.hpp"
#include "app/startup.hpp"
#include "status/service.hpp"
#include "tune/tune.hpp"
#include "cli/version_info.hpp"
#include "host/cpu_features.hpp"

using namespace nolu::qxt;

int main(int argc, char** argv) {
    const Outcome<Options> options = parse_options(argc, argv);
    if (!options) return report_failure(options.error());
    if (options->help) return print_usage(argv[0]);
    if (options->version) return print_version();
    const Outcome<std::unique_ptr<StatusService>> status = open_status_service(*options);
    if (!status) return report_failure(status.error());
    if (const Outcome<Done> console = open_console(*options); !console) return report_failure(console.error());
    const IsaSupport isa = detect_isa();
    const Outcome<Setup> setup = set_up(*options, isa);
    if (!setup) return report_failure(setup.error());
    if (!options->verify.empty()) return run_verify(*setup);
    if (options->tune) return run_tune(*setup, isa);
    const Outcome<MiningPlan> plan = plan_mining(*setup);
    if (!plan) return report_failure(plan.error());
    print_start_report(*setup, *plan);
    StatusService& service = **status;
    service.announce();
    return plan->bench ? run_benchmark(*setup, *plan, service.board()) : run_mining(*setup, *plan, service.board());
}
