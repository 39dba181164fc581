#include "cli/options.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "cli/config_file.hpp"

namespace nolu::qxt {

namespace {

// Leading digits only, junk ignored, sign accepted; stored as a 32-bit int.
// The option's range has been checked (check_number) before.
int read_int(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// The numeric options and the values each accepts; a value outside is a
// command-line error rather than one that wraps around or asks for the
// impossible. Zero and negative counts keep their meaning (automatic, off).
struct NumberRange {
    const char* option;  // the long name
    long long low;
    long long high;
};

constexpr NumberRange number_ranges[] = {
    {"--threads", INT_MIN, 1024},          // 0 or less: automatic; 1024 threads need 2 TiB
    {"--bench", 0, INT_MAX},               // seconds
    {"--skip", -1, 1000},                  // -1 automatic, 0 off, 1-499 read as 500
    {"--side", INT_MIN, 65000},            // 0 or less: off; the planner's largest buffer
    {"--side-dist", INT_MIN, 2097152},     // 0 or less: the planner tries; at most the arena
    {"--lanes", INT_MIN, INT_MAX},         // the option rules say 1 to 4; no wrapping into that
    {"--tune", 0, INT_MAX},                // seconds
};

}  // namespace

// Reads the number as read_int does (leading blanks, a sign, trailing junk
// ignored: existing command lines keep working) and checks its range.
Status check_number(std::string_view option, const char* text) {
    for (const NumberRange& range : number_ranges) {
        if (option != range.option) continue;
        errno = 0;
        const long long value = std::strtoll(text, nullptr, 10);
        if (errno != ERANGE && value >= range.low && value <= range.high) return success();
        const std::string allowed = range.low == INT_MIN ? "at most " + std::to_string(range.high)
                                                         : std::to_string(range.low) + " to " + std::to_string(range.high);
        return fail(std::string(option) + " " + text + " is out of range (" + allowed + ")");
    }
    return success();
}

namespace {

// A word of decimal digits only.
bool is_number(const char* word) {
    if (*word == '\0') return false;
    for (; *word != '\0'; ++word)
        if (*word < '0' || *word > '9') return false;
    return true;
}

constexpr OptionRow option_rows[] = {
    {{"--pool", "-o"}, true, [](Options& o, const char* v) { o.pool = v; }},
    {{"--backup-pool"}, true, [](Options& o, const char* v) { o.backup_pools.emplace_back(v); }, ConfigValue::texts},
    {{"--user", "-u", "--address"}, true, [](Options& o, const char* v) { o.address = v; }},
    {{"--worker", "-w"}, true, [](Options& o, const char* v) { o.worker = v; }},
    {{"--threads", "-t"}, true, [](Options& o, const char* v) { o.threads = read_int(v); }, ConfigValue::integer},
    {{"--stats-file"}, true, [](Options& o, const char* v) { o.stats_file = v; }},
    {{"--no-color"}, false, [](Options& o, const char*) { o.color = false; }},
    {{"--engine"}, true, [](Options& o, const char* v) { o.engine = v; }},
    {{"--verify"}, true, [](Options& o, const char* v) { o.verify = v; }},
    {{"--bench"}, true, [](Options& o, const char* v) { o.bench = read_int(v); }, ConfigValue::integer},
    {{"--skip"}, true, [](Options& o, const char* v) { o.skip = read_int(v); }, ConfigValue::integer},
    {{"--skip-norebuild"}, false, [](Options& o, const char*) { o.rebuild = false; }},
    {{"--reft"}, false, [](Options& o, const char*) { o.reft = true; }},
    {{"--side"}, true, [](Options& o, const char* v) { o.side = read_int(v); }, ConfigValue::integer},
    {{"--side-dist"}, true, [](Options& o, const char* v) { o.side_dist = read_int(v); }, ConfigValue::integer},
    {{"--http"}, true, [](Options& o, const char* v) { o.http = v; }},
    {{"--http-token"}, true, [](Options& o, const char* v) { o.http_token = v; }},
    {{"--tls"}, false, [](Options& o, const char*) { o.tls = true; }},
    {{"--tls-fingerprint"}, true, [](Options& o, const char* v) { o.tls_fingerprints.emplace_back(v); },
     ConfigValue::texts},
    {{"--tls-ca"}, true, [](Options& o, const char* v) { o.tls_ca = v; }},
    {{"--no-self-test"}, false, [](Options& o, const char*) { o.self_test = false; }},
    {{"--no-recheck"}, false, [](Options& o, const char*) { o.recheck = false; }},
    {{"--help", "-h"}, false, [](Options& o, const char*) { o.help = true; }, ConfigValue::none},
    {{"--version", "-V"}, false, [](Options& o, const char*) { o.version = true; }, ConfigValue::none},
    {{"--config", "-c"}, true, [](Options& o, const char* v) { o.config = v; }, ConfigValue::none},
    {{"--log-file"}, true, [](Options& o, const char* v) { o.log_file = v; }},
    {{"--lanes"}, true, [](Options& o, const char* v) { o.lanes = read_int(v); }, ConfigValue::integer},
    {{"--tune"}, false,
     [](Options& o, const char* v) {
         o.tune = true;
         o.tune_seconds = v != nullptr ? read_int(v) : 0;
     },
     ConfigValue::none, true},
};

const OptionRow* find_option(std::string_view word) {
    for (const OptionRow& row : option_rows)
        for (const char* name : row.names)
            if (name != nullptr && word == name) return &row;
    return nullptr;
}

}  // namespace

std::string usage_text(const char* program) {
    std::string text = "usage: ";
    text += program;
    text += " -u <QXT address> [options]\n";
    text += "  -o, --pool <host:port>   pool (default: NoluPool QXT ";
    text += default_pool;
    text += ")\n";
    text +=
        "  -u, --user <address>     your QXT payout address\n"
        "  -w, --worker <name>      worker name (default: hostname)\n"
        "  -t, --threads <n>        mining threads (default: auto, 2 GiB RAM per thread)\n"
        "      --stats-file <f>     write JSON stats every 10 s (HiveOS reads this file)\n"
        "      --no-color           uncolored output\n"
        "      --engine <avx512|avx2>  force an engine (default: best for this CPU)\n"
        "      --bench <seconds>    offline benchmark\n"
        "      --skip <permille>    skip-store: odd blocks past this point are not written, rebuilt when read "
        "(AVX-512, 500-1000,\n"
        "                           0 = off; default: 600 with 4 threads or more, off below)\n"
        "      --side <slots>       side cache: first-half blocks re-read soon are served from a <slots> KiB "
        "buffer (AVX-512, 0 = off)\n";
    text +=
        "      --backup-pool <host:port>  a pool to mine on while the ones before it fail (repeatable, tried in "
        "order)\n"
        "  -V, --version            the version and the engines this processor can use\n"
        "  -c, --config <file>      settings from a JSON file (keys: the long options); the command line wins\n"
        "      --log-file <f>       append every console line, with a local ISO-8601 time stamp, to <f>\n";
    text +=
        "      --http <[host:]port> serve /metrics (Prometheus) and /summary (JSON) over HTTP (a bare port: "
        "127.0.0.1)\n"
        "      --http-token <t>     require \"Authorization: Bearer <t>\" (needed to listen beyond loopback)\n";
    text +=
        "      --tls                pools given as a bare host:port speak TLS\n"
        "      --tls-fingerprint [host:port=]<hex>  pin a TLS pool's certificate by its SHA-256 (repeatable)\n"
        "      --tls-ca <file>      trust this CA (PEM) for TLS pools instead of the system's store\n";
    text +=
        "      --no-self-test       skip the start-up self-test (one known hash per thread)\n"
        "      --no-recheck         submit shares without hashing them a second time first\n";
    text +=
        "      --lanes <n>          nonces each thread hashes at once, one arena each (1-4, default 1)\n"
        "      --tune [seconds]     try the settings this machine can hold and list them by speed (default: "
        "300 s in all);\n"
        "                           with -c <file>, write the fastest setting there\n";
    return text;
}

int print_usage(const char* program) {
    std::fputs(usage_text(program).c_str(), stdout);
    return 0;
}

namespace {

// Applies the arguments after the program name to o, left to right; stops at --help.
Outcome<Done> apply_arguments(int argc, const char* const* argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const OptionRow* row = find_option(argv[i]);
        if (row == nullptr) return command_line_failure(std::string("unknown option ") + argv[i] + " (see --help)");
        const char* value = nullptr;
        if (row->optional_number) {
            if (i + 1 < argc && is_number(argv[i + 1])) value = argv[++i];
        } else if (row->takes_value) {
            if (i + 1 >= argc) return command_line_failure(std::string("missing value for ") + row->names[0]);
            value = argv[++i];  // verbatim, even when it starts with '-'
        }
        if (value != nullptr) {
            if (const Status range = check_number(row->names[0], value); !range)
                return command_line_failure(range.error().message);
        }
        row->apply(o, value);
        if (o.help) break;
    }
    return Done{};
}

// What --tune chooses: a setting an earlier run saved in the file must not
// narrow the new search (the command line still may).
void forget_tuned_settings(Options& o) {
    const Options defaults;
    o.engine = defaults.engine;
    o.threads = defaults.threads;
    o.lanes = defaults.lanes;
    o.skip = defaults.skip;
    o.side = defaults.side;
    o.side_dist = defaults.side_dist;
}

}  // namespace

std::span<const OptionRow> option_table() { return option_rows; }

Outcome<Options> parse_options(int argc, const char* const* argv) {
    Options o;
    if (const Outcome<Done> read = apply_arguments(argc, argv, o); !read) return read.error();
    if (o.help || o.version) return o;
    // The tuner may be asked to make the file it writes its choice to.
    const bool to_be_made = o.tune && !o.config.empty() && ::access(o.config.c_str(), F_OK) != 0 && errno == ENOENT;
    if (!o.config.empty() && !to_be_made) {
        Options merged;
        if (const Outcome<Done> loaded = load_config_file(o.config, merged); !loaded) return loaded.error();
        if (o.tune) forget_tuned_settings(merged);
        // The command line wins; it cannot fail now, it was read once already.
        if (const Outcome<Done> again = apply_arguments(argc, argv, merged); !again) return again.error();
        o = std::move(merged);
    }
    if (const Expected<std::vector<Endpoint>> pools = pool_list(o.pool, o.backup_pools, o.tls, o.tls_fingerprints);
        !pools)
        return command_line_failure(pools.error().message);
    if (!o.tls_ca.empty() && ::access(o.tls_ca.c_str(), R_OK) != 0)
        return command_line_failure("--tls-ca " + o.tls_ca + ": " + std::strerror(errno));
    return o;
}

Outcome<Done> check_option_rules(const EngineRow& engine, const Options& o) {
    const char* probe = "--skip-norebuild is a probe: --bench only (hashes are wrong)";
    if (!engine.memory_options && o.skip > 0) return option_rule_failure("--skip needs the AVX-512 engine");
    if (!o.rebuild && o.bench <= 0) return option_rule_failure(probe);
    if (!engine.memory_options && o.side != 0) return option_rule_failure("--side needs the AVX-512 engine");
    return check_lane_rules(engine, o);
}

Outcome<Done> check_lane_rules(const EngineRow& engine, const Options& o) {
    if (o.lanes < 1 || o.lanes > static_cast<int>(max_lanes))
        return option_rule_failure("--lanes takes 1 to " + std::to_string(max_lanes));
    if (o.lanes > 1 && engine.hash_lanes == nullptr)
        return option_rule_failure(std::string("--lanes needs an engine with lanes (the ") + engine.name +
                                   " engine has none)");
    if (o.lanes > 1 && (o.skip > 0 || !o.rebuild))
        return option_rule_failure("--lanes does not combine with skip-store (--skip, --skip-norebuild)");
    if (o.tune && (o.bench > 0 || !o.verify.empty()))
        return option_rule_failure("--tune runs on its own: not with --bench or --verify");
    return Done{};
}

int effective_skip(const EngineRow& engine, const Options& o) {
    // With lanes, automatic skip-store stays off (the option rules refuse an explicit one).
    return engine.memory_options && o.lanes <= 1 ? o.skip : 0;
}

}  // namespace nolu::qxt
