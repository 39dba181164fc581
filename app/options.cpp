#include "app/options.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

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
};

// Reads the number as read_int does (leading blanks, a sign, trailing junk
// ignored: existing command lines keep working) and checks its range.
std::optional<std::string> check_number(std::string_view option, const char* text) {
    for (const NumberRange& range : number_ranges) {
        if (option != range.option) continue;
        errno = 0;
        const long long value = std::strtoll(text, nullptr, 10);
        if (errno != ERANGE && value >= range.low && value <= range.high) return std::nullopt;
        const std::string allowed = range.low == INT_MIN ? "at most " + std::to_string(range.high)
                                                         : std::to_string(range.low) + " to " + std::to_string(range.high);
        return std::string(option) + " " + text + " is out of range (" + allowed + ")";
    }
    return std::nullopt;
}

// One option: the words that name it, and what its value (if it takes one)
// does to the options.
struct OptionSpec {
    const char* names[3];   // the long name first; missing-value messages use it
    bool takes_value;
    void (*apply)(Options& o, const char* value);
};

constexpr OptionSpec option_specs[] = {
    {{"--pool", "-o"}, true, [](Options& o, const char* v) { o.pool = v; }},
    {{"--backup-pool"}, true, [](Options& o, const char* v) { o.backup_pools.emplace_back(v); }},
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
        "buffer (AVX-512, 0 = off)\n";
    text +=
        "      --backup-pool <host:port>  a pool to mine on while the ones before it fail (repeatable, tried in "
        "order)\n";
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
        if (spec->takes_value) {
            if (i + 1 >= argc) return command_line_failure(std::string("missing value for ") + spec->names[0]);
            value = argv[++i];  // verbatim, even when it starts with '-'
            if (const std::optional<std::string> range = check_number(spec->names[0], value))
                return command_line_failure(*range);
        }
        spec->apply(o, value);
        if (o.help) return o;
    }
    const std::size_t colon = o.pool.rfind(':');
    if (!split_pool(o.pool))
        return command_line_failure("pool port " + o.pool.substr(colon + 1) + " is out of range (0 to 65535)");
    for (const std::string& backup : o.backup_pools) {
        if (!split_pool(backup))
            return command_line_failure("backup pool port " + backup.substr(backup.rfind(':') + 1) +
                                        " is out of range (0 to 65535)");
    }
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
    return Done{};
}

int effective_skip(const EngineRow& engine, const Options& o) {
    return engine.memory_options ? o.skip : 0;
}

}  // namespace nolu::qxt
