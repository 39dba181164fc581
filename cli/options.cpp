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

// Reads the number as read_int does (leading blanks, a sign, trailing junk
// ignored: existing command lines keep working) and checks its range.
Status check_number(std::string_view option, const char* text) {
    for (const OptionRow& row : option_table()) {
        if (option != row.names[0] || !row.range.checked) continue;
        errno = 0;
        const long long value = std::strtoll(text, nullptr, 10);
        const NumberRange& range = row.range;
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

const OptionRow* find_option(std::string_view word) {
    for (const OptionRow& row : option_table())
        for (const char* name : row.names)
            if (name != nullptr && word == name) return &row;
    return nullptr;
}

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
    o.lanes_given = defaults.lanes_given;
    o.skip = defaults.skip;
    o.side = defaults.side;
    o.side_dist = defaults.side_dist;
}

}  // namespace

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
    const Expected<std::vector<Endpoint>> pools = pool_list(o.pool, o.backup_pools, o.tls, o.tls_fingerprints);
    if (!pools) return command_line_failure(pools.error().message);
    o.pool_endpoint = pools->front();
    o.backup_endpoints.assign(pools->begin() + 1, pools->end());
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
