// The command line: options, usage text, engine choice and the rules that
// tie options together.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "app/config.hpp"

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
    int side = 0;
    int side_dist = 0;
};

// Parses argv into options. Returns the exit status when the process must end
// here (0 after --help, 2 for an unknown option, a missing value or a port
// out of range), nothing when start-up goes on. The usage text goes to out,
// errors to err. "--reft" switches on the reference-table setting at once.
std::optional<int> parse_options(int argc, const char* const* argv, Options& options, std::FILE* out = stdout,
                                 std::FILE* err = stderr);

std::string usage_text(const char* program);

// Host is everything before the last ':' (all of it without one); the port is
// the base-10 number after it (3333 without a colon, 0 for non-digits).
// A port above 65535 (or below 0) is reported as false: it would otherwise
// be truncated to some other port.
struct PoolEndpoint {
    std::string host;
    std::uint16_t port = 3333;
};
bool split_pool(const std::string& pool, PoolEndpoint& endpoint);

enum class EngineKind { avx512, avx2 };

// Picks the engine from the processor's features and --engine. On refusal,
// returns nothing and sets message (to be logged red with tag "cpu  ").
std::optional<EngineKind> choose_engine(const std::string& requested, bool avx512, bool avx2, std::string& message);

// The rules between options for the chosen engine; on failure returns the
// message (logged red with tag "cpu  ", exit status 2). With the AVX2 engine
// a passing check turns skip-store off in options.
std::optional<std::string> check_option_rules(EngineKind engine, Options& options);

}  // namespace nolu::qxt
