// The command line: options, usage text, and the rules that tie options to
// the engine and to each other.
#pragma once

#include <cstdint>
#include <string>

#include "app/failure.hpp"
#include "hash/engine_table.hpp"

namespace nolu::qxt {

// The maker's pool service.
inline constexpr const char* default_pool_host = "qxt.nolupool.net";
inline constexpr const char* default_pool = "qxt.nolupool.net:3358";

struct Options {
    std::string pool = default_pool;
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
    int lanes = 1;            // nonces each thread hashes at once
    bool tune = false;        // --tune: measure the settings this machine can hold
    int tune_seconds = 0;     // its time in all; 0 = default_tune_seconds
    std::string config;       // --config: where --tune writes the best setting
    bool help = false;  // print the usage text and stop
};

// --tune without a number of seconds.
inline constexpr int default_tune_seconds = 300;

// Reads the arguments after the program name, left to right; a later
// occurrence of an option overrides an earlier one, --help ends the reading.
// Fails (status 2, a plain line for standard error) on an unknown option, a
// missing value or a pool port out of range.
Outcome<Options> parse_options(int argc, const char* const* argv);

std::string usage_text(const char* program);
// Prints the usage text on standard output; returns 0, the exit status of --help.
int print_usage(const char* program);

// Host is everything before the last ':' (all of it without one); the port is
// the base-10 number after it (3333 without a colon, 0 for non-digits). A
// port above 65535 (or below 0) fails: it would otherwise be truncated to
// some other port.
struct PoolEndpoint {
    std::string host;
    std::uint16_t port = 3333;
};
Expected<PoolEndpoint> split_pool(const std::string& pool);

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
