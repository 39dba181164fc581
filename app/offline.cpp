#include "app/offline.hpp"

#include <cstring>
#include <fstream>

#include "app/console.hpp"
#include "app/stats.hpp"
#include "hash/arena.hpp"

namespace nolu::qxt {

std::vector<std::uint32_t> verify_passes(bool avx512, int option_skip) {
    if (!avx512) return {0};
    return {option_skip > 0 ? static_cast<std::uint32_t>(option_skip) : 600u, 0};
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes the first 2n characters of word into n bytes. A word that is
// shorter, or holds a non-hex digit there, is not a usable record field.
bool decode_hex(const std::string& word, std::uint8_t* out, std::size_t n) {
    if (word.size() < 2 * n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const int hi = hex_value(word[2 * i]);
        const int lo = hex_value(word[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
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

VerifyCounts verify_file(const std::string& path, Engine engine, const std::vector<std::uint32_t>& passes) {
    VerifyCounts counts;
    for (std::uint32_t permille : passes) {
        set_skip(permille, true);
        std::ifstream in(path);
        Arena arena;
        if (!arena_allocate(arena)) {
            arena_release(arena);
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

int run_verify(const std::string& path, Engine engine, const std::vector<std::uint32_t>& passes) {
    const VerifyCounts counts = verify_file(path, engine, passes);
    if (counts.no_arena) {
        log_line(colours.red, "mem  ", "cannot allocate the arena");
        return 1;
    }
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
