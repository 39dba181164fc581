#include "app/reload.hpp"

#include "console/console.hpp"

namespace nolu::qxt {

namespace {

// The options a running miner keeps until it restarts: they shape the
// arenas, the threads or the servers opened at the start.
void list_restart_options(const Options& a, const Options& b, std::vector<std::string>& out) {
    const struct {
        const char* name;
        bool changed;
    } rows[] = {
        {"--threads", a.threads != b.threads},
        {"--engine", a.engine != b.engine},
        {"--skip", a.skip != b.skip},
        {"--skip-norebuild", a.rebuild != b.rebuild},
        {"--reft", a.reft != b.reft},
        {"--side", a.side != b.side},
        {"--side-dist", a.side_dist != b.side_dist},
        {"--lanes", a.lanes != b.lanes},
        {"--no-self-test", a.self_test != b.self_test},
        {"--no-recheck", a.recheck != b.recheck},
        {"--http", a.http != b.http},
        {"--stats-file", a.stats_file != b.stats_file},
        {"--no-color", a.color != b.color},
        {"--max-temp", a.max_temp != b.max_temp},
        {"--cpu-priority", a.cpu_priority != b.cpu_priority},
        {"--bench", a.bench != b.bench},
        {"--verify", a.verify != b.verify},
        {"--tune", a.tune != b.tune},
    };
    for (const auto& row : rows)
        if (row.changed) out.emplace_back(row.name);
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : ", ") + w;
    return out;
}

}  // namespace

ReloadPlan plan_reload(const Options& now, const Options& next) {
    ReloadPlan plan;
    // The endpoints carry each pool's TLS and pinned fingerprint.
    plan.pools = now.pool_endpoint != next.pool_endpoint || now.backup_endpoints != next.backup_endpoints ||
                 now.tls_ca != next.tls_ca || now.address != next.address || now.worker != next.worker;
    plan.log_file = now.log_file != next.log_file;
    plan.token = now.http_token != next.http_token;
    list_restart_options(now, next, plan.restart);
    return plan;
}

void apply_reload(Options& live, const Outcome<Options>& next, const ReloadTargets& targets) {
    // Without -c a token file is still read again (a rotated credential).
    if (live.config.empty() && live.http_token_file.empty()) {
        log_line(colours.grey, "conf ", "reload: no settings file (-c) to read again");
        return;
    }
    const std::string source = live.config.empty() ? live.http_token_file : live.config;
    if (!next) {
        log_line(colours.red, "conf ", "reload of " + source + " failed: " + next.error().message +
                                           "; the settings in force stay");
        return;
    }
    const ReloadPlan plan = plan_reload(live, *next);
    std::vector<std::string> applied;
    auto apply = [&](bool changed, const char* what, std::string& field, const std::string& value,
                     const std::function<std::string(const std::string&)>& to) {
        if (!changed) return;
        if (const std::string problem = to(value); !problem.empty()) {
            log_line(colours.red, "conf ", std::string("reload: ") + what + " kept: " + problem);
            return;
        }
        field = value;
        applied.emplace_back(what);
    };
    apply(plan.log_file, "log file", live.log_file, next->log_file, targets.log_file);
    apply(plan.token, "HTTP token", live.http_token, next->http_token, targets.token);
    if (plan.pools && next->address.empty()) {
        log_line(colours.red, "conf ", "reload: pools kept: a QXT payout address is required (\"user\")");
    } else if (plan.pools) {
        live.pool = next->pool;
        live.backup_pools = next->backup_pools;
        live.pool_endpoint = next->pool_endpoint;
        live.backup_endpoints = next->backup_endpoints;
        live.tls = next->tls;
        live.tls_fingerprints = next->tls_fingerprints;
        live.tls_ca = next->tls_ca;
        live.address = next->address;
        live.worker = next->worker;
        targets.pools(live);
        applied.emplace_back("pools");
    }
    log_line(colours.grey, "conf ",
             "reloaded " + source + ": " + (applied.empty() ? "nothing to apply" : joined(applied) + " applied"));
    if (!plan.restart.empty())
        log_line(colours.red, "conf ", "restart to apply " + joined(plan.restart) + " (the running values stay)");
}

}  // namespace nolu::qxt
