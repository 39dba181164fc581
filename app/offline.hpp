// The two offline modes: the benchmark's result line and the verification
// of known headers, nonces and hashes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/startup.hpp"
#include "hash/engine_table.hpp"

namespace nolu::qxt {

// Skip-store settings the verification hashes every record under: the
// AVX-512 engine checks its skip-store layout and the full arena, the AVX2
// engine the full arena only.
std::vector<std::uint32_t> verify_passes(const EngineRow& engine, int option_skip);

struct VerifyCounts {
    std::uint64_t total = 0;
    std::uint64_t matched = 0;
    bool no_arena = false;
};

// Hashes every record of the file once per pass with the engine, in an arena
// of settings with each pass's skip-store setting.
VerifyCounts verify_file(const std::string& path, Engine engine, const HashSettings& settings,
                         const std::vector<std::uint32_t>& passes);

// Hashes the records of the file `lanes` at a time through the engine's lane
// entry, each in its own arena of settings (the last call may hold fewer).
VerifyCounts verify_lanes(const std::string& path, LaneEngine hash_lanes, const HashSettings& settings,
                          unsigned lanes);

// Runs the verification of --verify and logs its "check" line (or the arena
// failure); returns the exit status: 0 when every hash matched, else 1. With
// --lanes above 1 the records are hashed once more, that many at a time.
int run_verify(const Setup& setup);

// "T threads: R H/s over S s"
std::string format_bench_line(int threads, double rate, int seconds);

}  // namespace nolu::qxt
