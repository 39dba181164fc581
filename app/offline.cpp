#include "app/offline.hpp"

#include <cstring>
#include <fstream>

#include "app/console.hpp"
#include "app/stats.hpp"
#include "common/hex.hpp"
#include "hash/arena.hpp"

namespace nolu::qxt {

std::vector<std::uint32_t> verify_passes(const EngineRow& engine, int option_skip) {
    if (!engine.memory_options) return {0};
    return {option_skip > 0 ? static_cast<std::uint32_t>(option_skip) : 600u, 0};
}

namespace {

// Decodes the first 2n characters of word into n bytes. A word that is
// shorter, or holds a non-hex digit there, is not a usable record field.
bool decode_hex(const std::string& word, std::uint8_t* out, std::size_t n) {
    return word.size() >= 2 * n && hex_decode(std::string_view(word).substr(0, 2 * n), out, n);
}

// An unsigned 64-bit decimal number, digits only.
bool parse_nonce(const std::string& word, std::uint64_t& nonce) {
    if (word.empty() || word.size() > 20) return false;
    std::uint64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (~std::uint64_t{0} - digit) / 10) return false;
        value = value * 10 + digit;
    }
    nonce = value;
    return true;
}

}  // namespace

VerifyCounts verify_file(const std::string& path, Engine engine, const HashSettings& settings,
                         const std::vector<std::uint32_t>& passes) {
    VerifyCounts counts;
    for (std::uint32_t permille : passes) {
        std::ifstream in(path);
        Arena arena;
        if (!arena_allocate(arena, with_skip(settings, permille, true))) {
            counts.no_arena = true;
            return counts;
        }
        std::string header_word, nonce_word, hash_word;
        while (in >> header_word >> nonce_word >> hash_word) {
            std::uint64_t nonce = 0;
            if (!parse_nonce(nonce_word, nonce)) break;
            alignas(64) std::uint8_t header[92];
            alignas(64) std::uint8_t expected[32];
            alignas(64) std::uint8_t actual[32];
            ++counts.total;
            // A short or malformed field is a mismatch; bytes of an earlier
            // record are never reused.
            if (!decode_hex(header_word, header, sizeof header) || !decode_hex(hash_word, expected, sizeof expected))
                continue;
            engine(arena, header, nonce, actual);
            if (std::memcmp(actual, expected, sizeof actual) == 0) ++counts.matched;
        }
        arena_release(arena);
    }
    return counts;
}

VerifyCounts verify_lanes(const std::string& path, LaneEngine hash_lanes, const HashSettings& settings,
                          unsigned lanes) {
    VerifyCounts counts;
    std::vector<Arena> arenas(lanes);
    for (Arena& arena : arenas) counts.no_arena = counts.no_arena || !arena_allocate(arena, settings);
    std::ifstream in(path);
    bool more = !counts.no_arena;
    while (more) {
        // Up to `lanes` records, each with its own arena, header and nonce.
        struct Lane {
            alignas(64) std::uint8_t header[92];
            std::uint8_t expected[32];
            std::uint8_t actual[32];
            std::uint64_t nonce = 0;
        } lane[max_lanes];
        unsigned n = 0;
        std::string header_word, nonce_word, hash_word;
        while (n < lanes && (more = static_cast<bool>(in >> header_word >> nonce_word >> hash_word))) {
            std::uint64_t nonce = 0;
            if (!parse_nonce(nonce_word, nonce)) {
                more = false;
                break;
            }
            ++counts.total;  // a short or malformed field is a mismatch, as in verify_file
            if (!decode_hex(header_word, lane[n].header, 92) || !decode_hex(hash_word, lane[n].expected, 32)) continue;
            lane[n].nonce = nonce;
            ++n;
        }
        if (n == 0) continue;
        LaneWork work[max_lanes];
        for (unsigned k = 0; k < n; ++k) work[k] = {&arenas[k], lane[k].header, lane[k].nonce, lane[k].actual};
        hash_lanes(work, n);
        for (unsigned k = 0; k < n; ++k)
            if (std::memcmp(lane[k].actual, lane[k].expected, 32) == 0) ++counts.matched;
    }
    for (Arena& arena : arenas) arena_release(arena);
    return counts;
}

int run_verify(const Setup& setup) {
    VerifyCounts counts = verify_file(setup.options.verify, setup.engine->hash, setup.settings,
                                      verify_passes(*setup.engine, setup.options.skip));
    if (setup.options.lanes > 1 && !counts.no_arena) {
        const VerifyCounts lanes = verify_lanes(setup.options.verify, setup.engine->hash_lanes, setup.settings,
                                                static_cast<unsigned>(setup.options.lanes));
        counts.total += lanes.total;
        counts.matched += lanes.matched;
        counts.no_arena = lanes.no_arena;
    }
    if (counts.no_arena) return report_failure(memory_failure("cannot allocate the arena"));
    const bool ok = counts.total > 0 && counts.matched == counts.total;
    log_line(ok ? colours.green : colours.red, "check",
             "verify " + std::to_string(counts.matched) + "/" + std::to_string(counts.total) +
                 (ok ? " OK" : " FAILED"));
    return ok ? 0 : 1;
}

std::string format_bench_line(int threads, double rate, int seconds) {
    return std::to_string(threads) + " threads: " + rate_text(rate) + " over " + std::to_string(seconds) + " s";
}

}  // namespace nolu::qxt
