// The two offline modes: the benchmark's result line and the verification
// of known headers, nonces and hashes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/setup.hpp"
#include "hash/engine_table.hpp"

namespace nolu::qxt {

// Skip-store settings the verification hashes every record under: the
// AVX-512 engine checks its skip-store layout and the full arena, the AVX2
// engine the full arena only.
std::vector<std::uint32_t> verify_passes(const EngineRow& engine, int option_skip);

struct VerifyCounts {
    std::uint64_t total = 0;      // records checked, over all passes (a malformed one counts)
    std::uint64_t matched = 0;
    std::uint64_t malformed = 0;  // records of the file that could not be checked (counted once)
    std::vector<std::string> problems;  // "line N: what is wrong", the first few of them
    bool unreadable = false;      // the file could not be opened
    bool no_arena = false;
    bool interrupted = false;     // stop was set before the end
};

inline constexpr std::size_t verify_problems_shown = 10;

// Hashes every record of the file once per pass with the engine, in an arena
// of settings with each pass's skip-store setting. A malformed or truncated
// record is a mismatch; stop ends the work after the hash in progress.
// progress (may be empty) gets the counts after each record.
VerifyCounts verify_file(const std::string& path, Engine engine, const HashSettings& settings,
                         const std::vector<std::uint32_t>& passes, const std::atomic<bool>& stop,
                         const std::function<void(const VerifyCounts&)>& progress = {});

// Runs the verification of --verify and logs its "check" lines (or the arena
// failure); returns the exit status: 0 when every record was read and every
// hash matched, else 1 (also when a signal stopped it: at once, the hash in
// progress is not waited for). With --lanes above 1 the records are hashed
// once more, that many at a time.
struct VerifyRequest {
    std::string path;  // --verify
    int skip = -1;     // --skip: the skip-store pass besides the full arena
    int lanes = 1;     // --lanes: above 1, the records once more, that many at a time
};
int run_verify(const Setup& setup, const VerifyRequest& request);

// "T threads: R H/s over S s"
std::string format_bench_line(int threads, double rate, int seconds);

}  // namespace nolu::qxt
