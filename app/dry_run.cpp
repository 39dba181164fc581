#include "app/dry_run.hpp"

#include <optional>
#include <string>

#include "app/report.hpp"
#include "app/startup.hpp"
#include "cli/setup.hpp"
#include "console/console.hpp"
#include "net/http/listen.hpp"
#include "net/ip_address.hpp"

namespace nolu::qxt {

namespace {

std::string or_none(const std::string& text) { return text.empty() ? "none" : text; }

// The files a run would read and write, and the status server.
void print_files(const Options& o) {
    log_line(colours.grey, "files", "settings " + or_none(o.config) + " · statistics " + or_none(o.stats_file) +
                                        " · log " + or_none(o.log_file));
    if (!o.http.empty())
        log_line(colours.grey, "http ",
                 "would serve /metrics and /summary on " + o.http + (o.http_token.empty() ? "" : " (bearer token)"));
    if (o.max_temp > 0 || o.cpu_priority > 0)
        log_line(colours.grey, "temp ", "thermal limit " + (o.max_temp > 0 ? std::to_string(o.max_temp) + " °C" : "none") +
                                            " · cpu priority " + std::to_string(o.cpu_priority));
}

// The --http value as a start reads it, without a lookup or a socket: an
// address beyond loopback given as a number needs a token.
Status check_http_option(const Options& o) {
    if (o.http.empty()) return success();
    const Expected<HttpEndpoint> endpoint = parse_http_endpoint(o.http);
    if (!endpoint) return endpoint.error();
    const std::optional<IpAddress> literal = parse_ip_literal(endpoint->host);
    if (!literal) return success();  // a name: looked up when the miner starts
    return check_http_guard(socket_address(*literal, endpoint->port).get(), !o.http_token.empty(), o.http);
}

// What a run other than mining or benchmarking would do.
int print_other_mode(const Options& o) {
    log_line(colours.grey, "dry  ", o.tune ? "would tune for " + std::to_string(o.tune_seconds > 0 ? o.tune_seconds
                                                                                                   : default_tune_seconds) +
                                                 " s" + (o.config.empty() ? "" : ", writing the fastest setting to " + o.config)
                                           : "would verify the records of " + o.verify);
    return 0;
}

}  // namespace

int run_dry(const Options& o, const IsaSupport& isa) {
    if (o.color) enable_log_colours();
    if (const Status http = check_http_option(o); !http) return report_failure(command_line_failure(http.error().message));
    const Outcome<Setup> setup = set_up(o, isa);
    if (!setup) return report_failure(setup.error());
    if (o.tune || !o.verify.empty()) return print_other_mode(o);
    const Outcome<MiningPlan> plan = plan_mining(*setup, o);
    if (!plan) return report_failure(plan.error());
    print_start_report(*setup, *plan);
    print_files(o);
    log_line(colours.green, "dry  ", "dry run: the settings hold; nothing was started");
    return 0;
}

}  // namespace nolu::qxt
