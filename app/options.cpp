#include "app/options.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace nolu::qxt {

namespace {

// Leading digits only, junk ignored, sign accepted; stored as a 32-bit int.
int read_int(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// One option: the words that name it, and what its value (if it takes one)
// does to the options.
struct OptionSpec {
    const char* names[3];   // the long name first; missing-value messages use it
    bool takes_value;
    void (*apply)(Options& o, const char* value);
    bool optional_number = false;  // takes the next word only when it is a number (else apply gets null)
};

// A word of decimal digits only.
bool is_number(const char* word) {
    if (*word == '\0') return false;
    for (; *word != '\0'; ++word)
        if (*word < '0' || *word > '9') return false;
    return true;
}

constexpr OptionSpec option_specs[] = {
    {{"--pool", "-o"}, true, [](Options& o, const char* v) { o.pool = v; }},
    {{"--user", "-u", "--address"}, true, [](Options& o, const char* v) { o.address = v; }},
    {{"--worker", "-w"}, true, [](Options& o, const char* v) { o.worker = v; }},
    {{"--threads", "-t"}, true, [](Options& o, const char* v) { o.threads = read_int(v); }},
    {{"--stats-file"}, true, [](Options& o, const char* v) { o.stats_file = v; }},
    {{"--no-color"}, false, [](Options& o, const char*) { o.color = false; }},
    {{"--engine"}, true, [](Options& o, const char* v) { o.engine = v; }},
    {{"--verify"}, true, [](Options& o, const char* v) { o.verify = v; }},
    {{"--bench"}, true, [](Options& o, const char* v) { o.bench = read_int(v); }},
    {{"--skip"}, true, [](Options& o, const char* v) { o.skip = read_int(v); }},
    {{"--skip-norebuild"}, false, [](Options& o, const char*) { o.rebuild = false; }},
    {{"--reft"}, false, [](Options& o, const char*) { o.reft = true; }},
    {{"--side"}, true, [](Options& o, const char* v) { o.side = read_int(v); }},
    {{"--side-dist"}, true, [](Options& o, const char* v) { o.side_dist = read_int(v); }},
    {{"--help", "-h"}, false, [](Options& o, const char*) { o.help = true; }},
    {{"--lanes"}, true, [](Options& o, const char* v) { o.lanes = read_int(v); }},
    {{"--tune"}, false,
     [](Options& o, const char* v) {
         o.tune = true;
         o.tune_seconds = v != nullptr ? read_int(v) : 0;
     },
     true},
    {{"--config"}, true, [](Options& o, const char* v) { o.config = v; }},
};

const OptionSpec* find_option(std::string_view word) {
    for (const OptionSpec& spec : option_specs)
        for (const char* name : spec.names)
            if (name != nullptr && word == name) return &spec;
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
        "buffer (AVX-512, 0 = off)\n"
        "      --lanes <n>          nonces each thread hashes at once, one arena each (1-4, default 1)\n"
        "      --tune [seconds]     try the settings this machine can hold and list them by speed (default: "
        "300 s in all)\n"
        "      --config <file>      with --tune: write the fastest setting to this JSON file\n";
    return text;
}

int print_usage(const char* program) {
    std::fputs(usage_text(program).c_str(), stdout);
    return 0;
}

Outcome<Options> parse_options(int argc, const char* const* argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const OptionSpec* spec = find_option(argv[i]);
        if (spec == nullptr) return command_line_failure(std::string("unknown option ") + argv[i] + " (see --help)");
        const char* value = nullptr;
        if (spec->optional_number) {
            if (i + 1 < argc && is_number(argv[i + 1])) value = argv[++i];
        } else if (spec->takes_value) {
            if (i + 1 >= argc) return command_line_failure(std::string("missing value for ") + spec->names[0]);
            value = argv[++i];  // verbatim, even when it starts with '-'
        }
        spec->apply(o, value);
        if (o.help) return o;
    }
    const std::size_t colon = o.pool.rfind(':');
    if (!split_pool(o.pool))
        return command_line_failure("pool port " + o.pool.substr(colon + 1) + " is out of range (0 to 65535)");
    return o;
}

Expected<PoolEndpoint> split_pool(const std::string& pool) {
    PoolEndpoint endpoint;
    const std::size_t colon = pool.rfind(':');
    if (colon == std::string::npos) {
        endpoint.host = pool;
        return endpoint;
    }
    endpoint.host = pool.substr(0, colon);
    errno = 0;
    const long port = std::strtol(pool.c_str() + colon + 1, nullptr, 10);
    if (port < 0 || port > 65535 || errno == ERANGE) return fail("pool port out of range");
    endpoint.port = static_cast<std::uint16_t>(port);
    return endpoint;
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
