// The engines against their limits and against libargon2, side by side.
//
//   bench_engines [nonces] [row,row,...|all] [-r rounds] [-t threads] [--no-limits] [--cpu]
//   bench_engines --chains [-r rounds] [--cpu]     (the chain probes: chain_probes.cpp)
//
// Defaults: 2 calls per thread per row and round, rows avx512,avx2,libargon2
// (those this processor runs), 5 rounds, 1 thread. A row is an engine of the
// engine table with memory options and a lane count, or libargon2 (the
// yardstick: one reused, transparent-huge-page buffer per thread). Every
// round measures the limits first, then runs the rows (forward in even
// rounds, backward in odd ones, so that a drift of the machine's speed
// falls on every row alike); each row maps fresh arenas, hashes once to
// warm up, then times its calls on every thread at once. The report gives
// medians over the rounds and their spread (lowest to highest).
//
// Limits, measured on the same number of threads at once:
// - compute: each engine's own compression on a 512 KiB window that stays
//   in cache (no memory traffic): the most a core can do;
// - random: a random 1 KiB read plus a 1 KiB non-temporal store per block,
//   with the reads known in advance (prefetched eight ahead), as in the
//   first half;
// - dependent: a 1 KiB read whose address comes from the block read before,
//   the latency a one-lane second half waits for.
// First-half bound per block: the larger of compute and random. Second-half
// bound per block with n lanes: the larger of compute, random and
// dependent / n (a lane cannot ask for its next reference before its block
// is made, and n lanes wait in parallel).
#include <argon2.h>
#include <sys/mman.h>

#include <algorithm>
#include <barrier>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chain_probes.hpp"
#include "common/spread.hpp"
#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "hash/engine_table.hpp"
#include "hash/memory_probe.hpp"
#include "hash/settings.hpp"
#include "hash/side_cache.hpp"
#include "host/cpu_features.hpp"
#include "host/topology.hpp"

using namespace nolu::qxt;

namespace {

// Every time is taken on the thread that is timed: its wall-clock time, or
// with --cpu its own processor time (which keeps counting while it waits for
// memory, but not while other programs hold its core: for a machine shared
// with other work).
clockid_t timing_clock = CLOCK_MONOTONIC;

double now() {
    timespec ts;
    clock_gettime(timing_clock, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// --- libargon2 on one reused buffer per thread ------------------------------

thread_local void* argon2_buffer = nullptr;

int argon2_allocate(std::uint8_t** memory, std::size_t bytes) {
    if (argon2_buffer == nullptr || bytes > full_arena_bytes) return ARGON2_MEMORY_ALLOCATION_ERROR;
    *memory = static_cast<std::uint8_t*>(argon2_buffer);
    return ARGON2_OK;
}

void argon2_free(std::uint8_t*, std::size_t) {}  // kept for the next hash

void hash_libargon2(const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
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

// --- the rows ---------------------------------------------------------------

struct Row {
    const char* name;
    const char* engine;       // a row of the engine table; null: libargon2
    std::uint32_t skip = 0;   // skip-store permille, 0 = off
    bool reft = false;        // reference table (with skip-store)
    std::uint32_t side = 0;   // side-cache slots, 0 = off
    unsigned lanes = 1;       // nonces per call
};

const Row rows[] = {
    {"plain", "plain"},
    {"avx2", "avx2"},
    {"avx2-lanes2", "avx2", 0, false, 0, 2},
    {"avx2-lanes3", "avx2", 0, false, 0, 3},
    {"libargon2", nullptr},
    {"avx512", "avx512"},
    {"avx512-lanes2", "avx512", 0, false, 0, 2},
    {"avx512-lanes3", "avx512", 0, false, 0, 3},
    {"avx512-lanes4", "avx512", 0, false, 0, 4},
    {"avx512-skip600", "avx512", 600},
    {"avx512-skip600-reft", "avx512", 600, true},
    {"avx512-side1024", "avx512", 0, false, 1024},
    {"avx512-side4096", "avx512", 0, false, 4096},
    {"avx512-side16384", "avx512", 0, false, 16384},
    {"avx512-skip600-side4096", "avx512", 600, false, 4096},
    {"avx512-side1024-lanes2", "avx512", 0, false, 1024, 2},
    {"avx512-side4096-lanes2", "avx512", 0, false, 4096, 2},
    {"avx512-side4096-lanes3", "avx512", 0, false, 4096, 3},
};

bool has_memory_options(const Row& row) { return row.skip != 0 || row.reft || row.side != 0; }

// Why the row cannot run here, or null.
const char* unavailable(const Row& row, const IsaSupport& isa) {
    if (row.engine == nullptr) return nullptr;
    const EngineRow* engine = find_engine(row.engine);
    if (engine == nullptr) return "no such engine";
    if (!engine->usable(isa)) return "not supported by this processor";
    if (has_memory_options(row) && !engine->memory_options) return "the engine takes no memory options";
    if (row.lanes > 1 && engine->hash_lanes == nullptr) return "the engine has no lanes";
    if (row.lanes > 1 && row.skip != 0) return "lanes do not combine with skip-store";
    return nullptr;
}

const Row* find_row(const std::string& name) {
    for (const Row& r : rows)
        if (name == r.name) return &r;
    return nullptr;
}

// --- statistics -------------------------------------------------------------

Spread spread(const std::vector<double>& v) { return spread_of(v); }

// --- running things on every thread at once -------------------------------

struct Run {
    unsigned nonces = 2;
    unsigned rounds = 5;
    int threads = 1;
    bool limits = true;
    bool chains = false;  // the chain probes instead of the rows
    std::vector<int> cpus;
};

// Starts `threads` threads, each pinned like a mining thread, runs body(t)
// on each and joins them.
template <class Body>
void on_threads(const Run& run, Body body) {
    std::vector<std::thread> pool;
    for (int t = 0; t < run.threads; ++t) {
        pool.emplace_back([&run, &body, t] {
            if (t < static_cast<int>(run.cpus.size())) pin_to_cpu(run.cpus[static_cast<std::size_t>(t)]);
            body(t);
        });
    }
    for (std::thread& th : pool) th.join();
}

// --- limits -----------------------------------------------------------------

constexpr std::uint32_t window_blocks = 512;  // 512 KiB: in L2 on current cores
constexpr std::uint64_t window_count = 1 << 16;
constexpr std::uint64_t random_count = 1 << 18;
constexpr std::uint64_t dependent_count = 1 << 16;

volatile std::uint64_t checksum_sink = 0;

// ns per block of the engine's compression, mean over the threads.
double compute_ns(const Run& run, const EngineRow& engine) {
    std::vector<double> ns(static_cast<std::size_t>(run.threads), 0);
    std::barrier sync(run.threads);
    on_threads(run, [&](int t) {
        void* window = std::aligned_alloc(64, window_blocks * block_bytes);
        std::memset(window, t + 1, window_blocks * block_bytes);
        engine.probes.compute(window, window_blocks, 1024);  // warm the caches
        sync.arrive_and_wait();
        const double t0 = now();
        engine.probes.compute(window, window_blocks, window_count);
        ns[static_cast<std::size_t>(t)] = 1e9 * (now() - t0) / static_cast<double>(window_count);
        std::free(window);
    });
    double sum = 0;
    for (double v : ns) sum += v;
    return sum / run.threads;
}

struct MemoryLimits {
    std::map<const EngineRow*, double> random_ns;  // per block, each engine's own loads and streams
    double dependent_ns = 0;                       // per dependent 1 KiB read
};

MemoryLimits memory_ns(const Run& run, const std::vector<const EngineRow*>& engines) {
    const std::size_t threads = static_cast<std::size_t>(run.threads);
    std::vector<std::vector<double>> random(engines.size(), std::vector<double>(threads, 0));
    std::vector<double> dependent(threads, 0);
    std::barrier sync(run.threads);
    on_threads(run, [&](int t) {
        const auto me = static_cast<std::size_t>(t);
        Arena arena;
        HashSettings populated;
        populated.prefault = true;
        const bool ok = static_cast<bool>(arena_allocate(arena, populated));
        // Written through once: untouched pages would all read the zero page.
        if (ok) {
            auto* p = static_cast<volatile std::uint8_t*>(arena.base);
            for (std::uint64_t at = 0; at < arena.size; at += 4096) p[at] = static_cast<std::uint8_t>(at >> 12);
        }
        for (std::size_t e = 0; e < engines.size(); ++e) {
            sync.arrive_and_wait();
            if (!ok) continue;
            const double t0 = now();
            checksum_sink = checksum_sink + engines[e]->probes.random(arena.base, arena.size, random_count);
            random[e][me] = 1e9 * (now() - t0) / static_cast<double>(random_count);
        }
        sync.arrive_and_wait();
        if (ok) {
            const double t0 = now();
            checksum_sink = checksum_sink + probe_dependent_blocks(arena.base, arena.size, dependent_count);
            dependent[me] = 1e9 * (now() - t0) / static_cast<double>(dependent_count);
        }
        arena_release(arena);
    });
    MemoryLimits m;
    for (std::size_t e = 0; e < engines.size(); ++e) {
        double sum = 0;
        for (double v : random[e]) sum += v;
        m.random_ns[engines[e]] = sum / run.threads;
    }
    for (double v : dependent) m.dependent_ns += v / run.threads;
    return m;
}

// --- one row on every thread ------------------------------------------------

thread_local double half_mark = 0;
void mark_half() { half_mark = now(); }

struct RowRound {
    bool ok = false;
    double rate = 0;        // hashes per second, all threads together
    double first_half = 0;  // seconds per hash, mean over the threads
    double second_half = 0;
    bool halves = false;
};

using Tag = std::array<std::uint8_t, 32>;
std::map<std::uint64_t, Tag> seen_tags;  // nonce -> the first tag any row gave for it
std::map<const Row*, bool> tags_differ;

struct PreparedRow {
    const Row* row;
    const EngineRow* engine = nullptr;  // null: libargon2
    HashSettings settings;
    std::unique_ptr<SidePlan> plan;  // outlives every arena that points at it
};

std::uint8_t header[header_bytes];

struct ThreadTimes {
    bool ok = false;
    double seconds = 0, first_half = 0;
    std::vector<std::pair<std::uint64_t, Tag>> warm_tags;
};

// Hashes nonces [first, first + lanes) in one call.
void call_row(const PreparedRow& p, const std::vector<Arena>& arenas, std::uint64_t first, Tag* tags) {
    const unsigned lanes = p.row->lanes;
    if (p.engine == nullptr) {
        hash_libargon2(header, first, tags[0].data());
    } else {
        std::uint64_t nonces[max_lanes];
        for (unsigned k = 0; k < lanes; ++k) nonces[k] = first + k;
        static_assert(sizeof(Tag) == 32, "tags lie one after the other");
        hash_nonces(p.engine->hash, p.engine->hash_lanes, arenas.data(), header, nonces, lanes, tags[0].data());
    }
}

RowRound run_row(const Run& run, const PreparedRow& p) {
    const unsigned lanes = p.row->lanes;
    std::vector<ThreadTimes> per(static_cast<std::size_t>(run.threads));
    std::barrier sync(run.threads);
    on_threads(run, [&](int t) {
        ThreadTimes& mine = per[static_cast<std::size_t>(t)];
        std::vector<Arena> arenas(p.engine != nullptr ? lanes : 0);
        bool ok = true;
        for (Arena& a : arenas) ok = ok && static_cast<bool>(arena_allocate(a, p.settings));
        if (p.engine == nullptr) {
            void* b = mmap(nullptr, full_arena_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            ok = b != MAP_FAILED;
            if (ok) {
                madvise(b, full_arena_bytes, MADV_HUGEPAGE);
                argon2_buffer = b;
            }
        }
        Tag tags[max_lanes];
        const std::uint64_t base = static_cast<std::uint64_t>(t) << 40;
        if (ok) {
            call_row(p, arenas, base, tags);  // warm-up: page faults, tables
            for (unsigned k = 0; k < lanes; ++k) mine.warm_tags.emplace_back(base + k, tags[k]);
        }
        sync.arrive_and_wait();
        if (ok) {
            const double t0 = now();
            for (unsigned n = 0; n < run.nonces; ++n) {
                half_mark = 0;
                const double c0 = now();
                call_row(p, arenas, base + lanes * (n + 1), tags);
                if (half_mark > 0) mine.first_half += half_mark - c0;
            }
            mine.seconds = now() - t0;
            mine.ok = true;
        }
        for (Arena& a : arenas) arena_release(a);
        if (argon2_buffer != nullptr) {
            munmap(argon2_buffer, full_arena_bytes);
            argon2_buffer = nullptr;
        }
    });
    RowRound r;
    r.ok = true;
    for (const ThreadTimes& m : per) {
        if (!m.ok) {
            r.ok = false;
            continue;
        }
        const double hashes = static_cast<double>(lanes) * run.nonces;
        r.rate += hashes / m.seconds;
        r.first_half += m.first_half / hashes / run.threads;
        r.second_half += (m.seconds - m.first_half) / hashes / run.threads;
        r.halves = m.first_half > 0;
        for (const auto& [nonce, tag] : m.warm_tags) {
            const auto [it, fresh] = seen_tags.emplace(nonce, tag);
            if (!fresh && it->second != tag) tags_differ[p.row] = true;
        }
    }
    return r;
}

// --- the report -------------------------------------------------------------

struct RowStats {
    std::vector<double> rate, versus, first, second, first_share, second_share;
};

std::string range(const Spread& s, const char* format) {
    char a[32], b[32];
    std::snprintf(a, sizeof a, format, s.low);
    std::snprintf(b, sizeof b, format, s.high);
    return std::string("[") + a + "-" + b + "]";
}

}  // namespace

int main(int argc, char** argv) {
    Run run;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if ((word == "-r" || word == "-t") && i + 1 < argc) {
            const int value = std::atoi(argv[++i]);
            if (word == "-r") run.rounds = static_cast<unsigned>(std::max(value, 0));
            if (word == "-t") run.threads = value;
        } else if (word == "--no-limits") {
            run.limits = false;
        } else if (word == "--cpu") {
            timing_clock = CLOCK_THREAD_CPUTIME_ID;
        } else if (word == "--chains") {
            run.chains = true;
        } else {
            positional.push_back(word);
        }
    }
    std::string wanted = "avx512,avx2,libargon2";
    if (!positional.empty()) run.nonces = static_cast<unsigned>(std::strtoul(positional[0].c_str(), nullptr, 10));
    if (positional.size() > 1) wanted = positional[1];
    if (run.nonces == 0 || run.rounds == 0 || run.threads < 1 || positional.size() > 2) {
        std::fprintf(stderr,
                     "usage: bench_engines [nonces] [row,row,...|all] [-r rounds] [-t threads] [--no-limits] [--cpu] [--chains]\n"
                     "rows:");
        for (const Row& r : rows) std::fprintf(stderr, " %s", r.name);
        std::fprintf(stderr, "\n");
        return 2;
    }
    run.cpus = scan_topology().cpus;
    if (run.chains) {
        const Expected<const EngineRow*> engine = choose_engine(positional.size() > 1 ? wanted : "", detect_isa());
        if (!engine) return 1;
        if (!run.cpus.empty()) pin_to_cpu(run.cpus[0]);
        return run_chain_probes(**engine, run.rounds, timing_clock);
    }

    const IsaSupport isa = detect_isa();
    std::vector<const Row*> chosen;
    auto add = [&](const Row* r) {
        if (const char* why = unavailable(*r, isa)) {
            std::printf("%-24s skipped: %s\n", r->name, why);
            return;
        }
        chosen.push_back(r);
    };
    if (wanted == "all") {
        for (const Row& r : rows) add(&r);
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
            add(r);
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
    }
    for (std::size_t i = 0; i < header_bytes; ++i) header[i] = static_cast<std::uint8_t>(i * 37 + 11);

    // Settings and side plans, made once.
    std::vector<PreparedRow> prepared;
    std::vector<const EngineRow*> engines;  // distinct engines, for the compute bound
    for (const Row* r : chosen) {
        PreparedRow p;
        p.row = r;
        if (r->engine != nullptr) {
            p.engine = find_engine(r->engine);
            if (const Status status = p.engine->prepare(p.settings); !status) {
                std::fprintf(stderr, "%s: %s\n", r->name, status.error().message.c_str());
                return 1;
            }
            p.settings = with_skip(p.settings, r->skip, true);
            p.settings.reft = r->reft;
            if (r->side != 0) {
                p.plan = std::make_unique<SidePlan>(side_plan(p.settings.index_table, r->side, 0));
                p.settings.side = p.plan.get();
            }
            if (std::find(engines.begin(), engines.end(), p.engine) == engines.end()) engines.push_back(p.engine);
        }
        p.settings.on_half = mark_half;
        p.settings.prefault = true;
        prepared.push_back(std::move(p));
    }

    std::map<const EngineRow*, std::vector<double>> compute, random_ns;
    std::vector<double> dependent_ns;
    std::vector<RowStats> stats(prepared.size());
    for (unsigned round = 0; round < run.rounds; ++round) {
        std::printf("round %u/%u:", round + 1, run.rounds);
        std::fflush(stdout);
        std::map<const EngineRow*, double> c_now;
        MemoryLimits m_now;
        if (run.limits) {
            for (const EngineRow* e : engines) compute[e].push_back(c_now[e] = compute_ns(run, *e));
            m_now = memory_ns(run, engines);
            for (const EngineRow* e : engines) random_ns[e].push_back(m_now.random_ns[e]);
            dependent_ns.push_back(m_now.dependent_ns);
            std::printf(" limits");
        }
        std::vector<RowRound> results(prepared.size());
        for (std::size_t n = 0; n < prepared.size(); ++n) {
            const std::size_t i = round % 2 == 0 ? n : prepared.size() - 1 - n;
            results[i] = run_row(run, prepared[i]);
            std::printf(" %s", prepared[i].row->name);
            std::fflush(stdout);
        }
        std::printf("\n");
        const RowRound* yardstick = nullptr;
        for (std::size_t i = 0; i < prepared.size(); ++i)
            if (prepared[i].engine == nullptr && results[i].ok) yardstick = &results[i];
        for (std::size_t i = 0; i < prepared.size(); ++i) {
            const RowRound& r = results[i];
            if (!r.ok) continue;
            RowStats& s = stats[i];
            s.rate.push_back(r.rate);
            if (yardstick != nullptr) s.versus.push_back(r.rate / yardstick->rate);
            if (!r.halves) continue;
            s.first.push_back(r.first_half);
            s.second.push_back(r.second_half);
            if (run.limits && prepared[i].engine != nullptr) {
                const double c = c_now[prepared[i].engine];
                const double m = m_now.random_ns[prepared[i].engine];
                const double lanes = prepared[i].row->lanes;
                const double first_bound = std::max(c, m) * (half_blocks - 2) * 1e-9;
                const double chain = m_now.dependent_ns / lanes;
                const double second_bound = std::max({c, m, chain}) * half_blocks * 1e-9;
                s.first_share.push_back(r.first_half / first_bound);
                s.second_share.push_back(r.second_half / second_bound);
            }
        }
    }

    std::printf("\n%u round(s), %u call(s) per thread per row and round, %d thread(s) at once, %s time; "
                "medians [lowest-highest]\n",
                run.rounds, run.nonces, run.threads,
                timing_clock == CLOCK_MONOTONIC ? "wall-clock" : "thread processor");
    if (run.limits) {
        std::printf("limits per thread:\n");
        for (const EngineRow* e : engines) {
            const Spread c = spread(compute[e]), r = spread(random_ns[e]);
            std::printf("  %-8s compute %6.1f ns/block %-15s  random read + stream %6.1f ns/block %-15s"
                        "  -> at most %.2f H/s per thread\n",
                        e->name, c.median, range(c, "%.1f").c_str(), r.median, range(r, "%.1f").c_str(),
                        1e9 / (std::max(c.median, r.median) * block_count));
        }
        const Spread d = spread(dependent_ns);
        std::printf("  dependent 1 KiB read %6.1f ns %s\n", d.median, range(d, "%.1f").c_str());
    }
    std::printf("%-24s %5s %9s %-15s %9s %7s %8s %6s %8s %6s %5s\n", "row", "lanes", "H/s", "[spread]", "x libarg",
                "s/hash", "1st ns/b", "xbound", "2nd ns/b", "xbound", "tags");
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        const RowStats& s = stats[i];
        if (s.rate.empty()) {
            std::printf("%-24s failed (no memory?)\n", prepared[i].row->name);
            continue;
        }
        const Spread rate = spread(s.rate);
        char versus[16] = "-", first[16] = "-", second[16] = "-", fs[16] = "-", ss[16] = "-";
        if (!s.versus.empty()) std::snprintf(versus, sizeof versus, "%.2f", spread(s.versus).median);
        if (!s.first.empty()) {
            std::snprintf(first, sizeof first, "%.0f", spread(s.first).median * 1e9 / (half_blocks - 2));
            std::snprintf(second, sizeof second, "%.0f", spread(s.second).median * 1e9 / half_blocks);
        }
        if (!s.first_share.empty()) {
            std::snprintf(fs, sizeof fs, "%.2f", spread(s.first_share).median);
            std::snprintf(ss, sizeof ss, "%.2f", spread(s.second_share).median);
        }
        std::printf("%-24s %5u %9.3f %-15s %9s %7.3f %8s %6s %8s %6s %5s\n", prepared[i].row->name,
                    prepared[i].row->lanes, rate.median, range(rate, "%.3f").c_str(), versus,
                    run.threads / rate.median, first, fs, second, ss, tags_differ[prepared[i].row] ? "DIFF" : "same");
    }
    std::printf("(s/hash: per thread; ns/b: nanoseconds per block and lane; xbound: time over the half's bound)\n");
    return 0;
}
