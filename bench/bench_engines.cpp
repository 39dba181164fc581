// Hashes N nonces with each engine on a reused arena, and with libargon2 on
// a reused, transparent-huge-page buffer, and prints seconds per hash,
// hashes per second and the ratios. A row is an engine of the engine table
// with a set of memory options, or libargon2.
//
//   bench_engines [nonces] [row,row,...|all]      (default: 4 avx2,libargon2)
//
// Every row hashes the same header and nonces; the "tags" column says
// whether its last tag equals the first row's.
#include <argon2.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "hash/engine_table.hpp"
#include "hash/settings.hpp"
#include "hash/side_cache.hpp"
#include "host/cpu_features.hpp"

using namespace nolu::qxt;

namespace {

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// --- libargon2 on one reused buffer ------------------------------------

void* argon2_buffer = nullptr;

int argon2_allocate(std::uint8_t** memory, std::size_t bytes) {
    if (argon2_buffer == nullptr || bytes > full_arena_bytes) return ARGON2_MEMORY_ALLOCATION_ERROR;
    *memory = static_cast<std::uint8_t*>(argon2_buffer);
    return ARGON2_OK;
}

void argon2_free(std::uint8_t*, std::size_t) {}  // kept for the next hash

void hash_libargon2(const Arena&, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    std::uint8_t pwd[8];
    for (int i = 0; i < 8; ++i) pwd[i] = static_cast<std::uint8_t>(nonce >> (8 * i));
    std::uint8_t salt[header_bytes];
    std::memcpy(salt, header, header_bytes);
    argon2_context ctx{};
    ctx.out = out;
    ctx.outlen = hash_bytes;
    ctx.pwd = pwd;
    ctx.pwdlen = 8;
    ctx.salt = salt;
    ctx.saltlen = header_bytes;
    ctx.t_cost = 1;
    ctx.m_cost = block_count;
    ctx.lanes = 1;
    ctx.threads = 1;
    ctx.version = ARGON2_VERSION_13;
    ctx.allocate_cbk = argon2_allocate;
    ctx.free_cbk = argon2_free;
    const int rc = argon2_ctx(&ctx, Argon2_id);
    if (rc != ARGON2_OK) {
        std::fprintf(stderr, "libargon2: %s\n", argon2_error_message(rc));
        std::exit(1);
    }
}

bool map_argon2_buffer() {
    void* p = mmap(nullptr, full_arena_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    madvise(p, full_arena_bytes, MADV_HUGEPAGE);
    argon2_buffer = p;
    return true;
}

void unmap_argon2_buffer() {
    munmap(argon2_buffer, full_arena_bytes);
    argon2_buffer = nullptr;
}

// --- the rows ---------------------------------------------------------------

struct Row {
    const char* name;
    const char* engine;       // a row of the engine table; null: libargon2 on its own buffer
    std::uint32_t skip = 0;   // skip-store permille, 0 = off
    bool reft = false;        // reference table (with skip-store)
    std::uint32_t side = 0;   // side-cache slots, 0 = off
};

const Row rows[] = {
    {"plain", "plain"},
    {"avx2", "avx2"},
    {"libargon2", nullptr},
    {"avx512", "avx512"},
    {"avx512-skip600", "avx512", 600},
    {"avx512-skip600-reft", "avx512", 600, true},
    {"avx512-side1024", "avx512", 0, false, 1024},
    {"avx512-side4096", "avx512", 0, false, 4096},
    {"avx512-side16384", "avx512", 0, false, 16384},
    {"avx512-skip600-side4096", "avx512", 600, false, 4096},
};

bool has_memory_options(const Row& row) { return row.skip != 0 || row.reft || row.side != 0; }

// Why the row cannot run here, or null.
const char* unavailable(const Row& row, const IsaSupport& isa) {
    if (row.engine == nullptr) return nullptr;
    const EngineRow* engine = find_engine(row.engine);
    if (engine == nullptr) return "no such engine";
    if (!engine->usable(isa)) return "not supported by this processor";
    if (has_memory_options(row) && !engine->memory_options) return "the engine takes no memory options";
    return nullptr;
}

// --- timing -------------------------------------------------------------

double half_mark = 0;
void mark_half() { half_mark = now(); }

struct Result {
    const Row* row;
    double seconds = 0;       // all timed hashes
    double first_half = 0;    // 0 when the engine gives no mark
    std::uint8_t last_tag[32] = {};
};

bool run_row(const Row& row, unsigned nonces, const std::uint8_t* header, Result& res) {
    // The row's settings: the engine's own tables and the memory options.
    const EngineRow* engine = row.engine != nullptr ? find_engine(row.engine) : nullptr;
    HashSettings settings;
    SidePlan plan;  // outlives the arena that points at it
    if (engine != nullptr) {
        if (const Status status = engine->prepare(settings); !status) {
            std::fprintf(stderr, "%s: %s\n", row.name, status.error().message.c_str());
            return false;
        }
        settings = with_skip(settings, row.skip, true);
        settings.reft = row.reft;
        if (row.side != 0) {
            plan = side_plan(settings.index_table, row.side, 0);
            settings.side = &plan;
        }
    }
    settings.on_half = mark_half;
    const Engine hash = engine != nullptr ? engine->hash : hash_libargon2;

    Arena arena;
    if (engine == nullptr) {
        if (!map_argon2_buffer()) {
            std::fprintf(stderr, "%s: cannot map the buffer\n", row.name);
            return false;
        }
    } else if (const Status status = arena_allocate(arena, settings); !status) {
        std::fprintf(stderr, "%s: %s\n", row.name, status.error().message.c_str());
        return false;
    }
    std::uint8_t tag[32];
    hash(arena, header, 0xFFFFFFFFull, tag);  // warm-up: page faults, tables
    for (unsigned n = 0; n < nonces; ++n) {
        half_mark = 0;
        const double t0 = now();
        hash(arena, header, n, res.last_tag);
        const double t1 = now();
        res.seconds += t1 - t0;
        if (half_mark > 0) res.first_half += half_mark - t0;
    }
    if (engine == nullptr)
        unmap_argon2_buffer();
    else
        arena_release(arena);
    return true;
}

const Row* find_row(const std::string& name) {
    for (const Row& r : rows)
        if (name == r.name) return &r;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned nonces = 4;
    std::string wanted = "avx2,libargon2";
    if (argc > 1) nonces = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    if (argc > 2) wanted = argv[2];
    if (nonces == 0 || argc > 3) {
        std::fprintf(stderr, "usage: bench_engines [nonces] [row,row,...|all]\nrows:");
        for (const Row& r : rows) std::fprintf(stderr, " %s", r.name);
        std::fprintf(stderr, "\n");
        return 2;
    }

    std::vector<const Row*> chosen;
    if (wanted == "all") {
        for (const Row& r : rows) chosen.push_back(&r);
    } else {
        std::size_t at = 0;
        while (at <= wanted.size()) {
            const std::size_t comma = wanted.find(',', at);
            const std::string name = wanted.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            const Row* r = find_row(name);
            if (r == nullptr) {
                std::fprintf(stderr, "unknown row '%s'\n", name.c_str());
                return 2;
            }
            chosen.push_back(r);
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
    }

    std::uint8_t header[header_bytes];
    for (std::size_t i = 0; i < header_bytes; ++i) header[i] = static_cast<std::uint8_t>(i * 37 + 11);

    const IsaSupport isa = detect_isa();
    std::vector<Result> results;
    for (const Row* r : chosen) {
        if (const char* why = unavailable(*r, isa)) {
            std::printf("%-24s skipped: %s\n", r->name, why);
            continue;
        }
        Result res;
        res.row = r;
        if (!run_row(*r, nonces, header, res)) continue;
        results.push_back(res);
        std::fflush(stdout);
    }

    const Result* base = nullptr;  // libargon2, the yardstick
    const Result* avx2 = nullptr;
    for (const Result& r : results) {
        if (r.row->engine == nullptr) base = &r;
        if (std::strcmp(r.row->name, "avx2") == 0) avx2 = &r;
    }
    std::printf("%u nonces per row, reused arenas\n", nonces);
    std::printf("%-24s %9s %8s %12s %9s %11s %5s\n", "row", "s/hash", "H/s", "x libargon2", "x avx2", "1st/2nd %",
                "tags");
    for (const Result& r : results) {
        const double per = r.seconds / nonces;
        char vs_base[16] = "-", vs_avx2[16] = "-", split[24] = "-";
        if (base != nullptr) std::snprintf(vs_base, sizeof vs_base, "%.2f", base->seconds / r.seconds);
        if (avx2 != nullptr) std::snprintf(vs_avx2, sizeof vs_avx2, "%.2f", avx2->seconds / r.seconds);
        if (r.first_half > 0) {
            const double f = 100.0 * r.first_half / r.seconds;
            std::snprintf(split, sizeof split, "%.0f/%.0f", f, 100.0 - f);
        }
        const bool same = std::memcmp(r.last_tag, results.front().last_tag, 32) == 0;
        std::printf("%-24s %9.3f %8.3f %12s %9s %11s %5s\n", r.row->name, per, 1.0 / per, vs_base, vs_avx2, split,
                    same ? "same" : "DIFF");
    }
    return 0;
}
