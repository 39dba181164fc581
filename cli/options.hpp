// The command line: options, usage text, and the rules that tie options to
// the engine and to each other.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "console/failure.hpp"
#include "hash/engine_table.hpp"
#include "pool/config.hpp"
#include "pool/url.hpp"

namespace nolu::qxt {

// The maker's pool service.
inline constexpr const char* default_pool_host = "qxt.nolupool.net";
inline constexpr const char* default_pool = "qxt.nolupool.net:3358";

struct Options {
    std::string pool = default_pool;
    std::vector<std::string> backup_pools;  // --backup-pool, in the order given
    Endpoint pool_endpoint;                 // pool and backup_pools split once, when parse_options ends
    std::vector<Endpoint> backup_endpoints;
    std::string address;
    std::string worker;
    int threads = 0;
    std::string stats_file;
    bool color = true;
    std::string engine;
    std::string verify;
    int bench = 0;
    int skip = -1;
    bool rebuild = true;
    bool reft = false;
    int side = 0;
    int side_dist = 0;
    std::string http;        // [host:]port of the status server; empty: none
    std::string http_token;  // bearer token the status server asks for; empty: none
    bool tls = false;        // --tls: a pool without a scheme speaks TLS
    std::vector<std::string> tls_fingerprints;  // --tls-fingerprint, "[host:port=]<hex>" each
    std::string tls_ca;      // --tls-ca: a private CA's PEM file
    bool self_test = true;  // every thread hashes a known record before mining or benchmarking
    bool recheck = true;    // every share is hashed twice before it goes out
    int lanes = 1;          // nonces each thread hashes at once
    bool lanes_given = false;  // --lanes given: else start-up chooses the count (choose_lanes)
    bool tune = false;      // --tune: measure the settings this machine can hold
    int tune_seconds = 0;   // its time in all; 0 = default_tune_seconds
    bool help = false;  // print the usage text and stop
    bool version = false;  // print the version and the usable engines and stop
    std::string config;    // the settings file (-c); the command line overrides it; --tune writes its choice there
    std::string log_file;  // a time-stamped copy of the console lines, appended
    int max_temp = 0;      // °C at which hashing pauses (resumes 5 °C below); 0 = no limit
    int cpu_priority = 0;  // 0-5: how far the mining threads' priority is lowered; 0 = unchanged
    bool dry_run = false;  // check everything, say what would run, start nothing
};

// How a settings file (-c, cli/config_file.hpp) gives an option; its key is
// the option's long name without the dashes.
enum class ConfigValue {
    text,     // a JSON string
    integer,  // a JSON whole number (read like the command line's number)
    texts,    // a string, or an array of strings applied in turn (a repeatable option)
    none,     // not a settings-file key
};

// The range a numeric option's value must lie in (the command line and the
// settings file alike); checked is false for every other option.
struct NumberRange {
    bool checked = false;
    long long low = 0;
    long long high = 0;
};

// One option, the one place it is described: the words that name it, its
// value, its line in the usage text, its range, how a settings file gives it,
// and what it does to the options. The usage text, the man page (made from
// the usage text), the range checks and the settings-file keys all come from
// these rows. A flag (no value) is true or false in a settings file.
struct OptionRow {
    const char* names[3];   // the long name first; missing-value messages and file keys use it
    bool takes_value;
    void (*apply)(Options& o, const char* value);
    ConfigValue config = ConfigValue::text;  // for a flag only "none" counts (not a key)
    bool optional_number = false;  // takes the next word only when it is a number (else apply gets null)
    const char* value_name = nullptr;  // in the usage text: "<host:port>", "[seconds]"
    const char* help = "";             // the usage text's words for it; "{pool}" is the default pool
    NumberRange range{};
    bool listed = true;  // --help shows it (every option a user may type is listed)
};

// Every option, in the order of the usage text (the first ten rows keep
// their historical lines, first); the command line is matched against it.
std::span<const OptionRow> option_table();

// --tune without a number of seconds.
inline constexpr int default_tune_seconds = 300;

// Reads the arguments after the program name, left to right; a later
// occurrence of an option overrides an earlier one (--backup-pool adds one
// more pool each time), --help ends the reading. With -c/--config the
// settings file is read first and the arguments are applied over it (with
// --tune a file that does not exist yet is not read: the tuner makes it). Fails
// (status 2, a plain line for standard error) on an unknown option, a missing
// value, a number out of its option's range, a settings file that cannot be
// used, a pool address that cannot be (a port out of range, an unknown
// scheme), a bad fingerprint or an unreadable --tls-ca file. The pools are
// split into endpoints here, once (with their TLS settings and pins).
Outcome<Options> parse_options(int argc, const char* const* argv);

std::string usage_text(const char* program);

// The range check of a numeric option's value (the command line and the
// settings file alike); other options always pass.
Status check_number(std::string_view option, const char* text);
// Prints the usage text on standard output; returns 0, the exit status of --help.
int print_usage(const char* program);

// The rules between the options and the chosen engine (status 2, a red
// "cpu  " line).
Outcome<Done> check_option_rules(const EngineRow& engine, const Options& options);

// The rules of --lanes (1 to 4, an engine with lanes, no skip-store) and
// --tune (a mode of its own); check_option_rules ends with them.
Outcome<Done> check_lane_rules(const EngineRow& engine, const Options& options);

// The skip-store option in force with this engine: engines without memory
// options, and more than one lane, always run without skip-store.
int effective_skip(const EngineRow& engine, const Options& options);

}  // namespace nolu::qxt
