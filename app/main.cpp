// korven-qxt: command-line miner for the QXT coin.
#include "console/console.hpp"
#include "console/failure.hpp"
#include "offline/offline.hpp"
#include "cli/options.hpp"
#include "app/dry_run.hpp"
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
    const IsaSupport isa = detect_isa();
    if (options->dry_run) return run_dry(*options, isa);
    // --verify serves nothing.
    const HttpSettings http = options->verify.empty() ? HttpSettings{options->http, options->http_token} : HttpSettings{};
    const Outcome<std::unique_ptr<StatusService>> status = open_status_service(http);
    if (!status) return report_failure(status.error());
    if (const Outcome<Done> console = open_console(*options); !console) return report_failure(console.error());
    const Outcome<Setup> setup = set_up(*options, isa);
    if (!setup) return report_failure(setup.error());
    const Options& o = *options;
    if (!o.verify.empty()) return run_verify(*setup, VerifyRequest{o.verify, o.skip, o.lanes});
    if (o.tune) return run_tune(*setup, TuneRequest{o.engine, o.threads, o.tune_seconds, o.config}, isa);
    const Outcome<MiningPlan> plan = plan_mining(*setup, o);
    if (!plan) return report_failure(plan.error());
    print_start_report(*setup, *plan);
    StatusService& service = **status;
    service.announce();
    if (plan->bench) return run_benchmark(*setup, *plan, service.board());
    return run_mining(*setup, *plan, o, service, [argc, argv] { return parse_options(argc, argv); });
}
