// The chain probes. Every configuration walks 2^18 blocks in all (over its
// chains, as the first 2^18 blocks of a second half) on storage mapped in one
// page kind: 4 KiB pages, transparent huge
// pages, or reserved 2 MiB pages (where the system has 8 GiB of them free).
// Each chain has a 2 GiB storage of its own, as a lane has its arena, except
// in the "shared" rows, where all chains walk one. Next to them, the bounds
// of the same run: the engine's compression in cache, the prefetched random
// read plus stream of the first half, and one dependent 1 KiB read.
#include "chain_probes.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/spread.hpp"
#include "hash/argon2.hpp"
#include "hash/memory_probe.hpp"

#ifndef MAP_HUGE_SHIFT
#define MAP_HUGE_SHIFT 26
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace nolu::qxt {
namespace {

enum class Pages { small, thp, reserved };
const char* const page_names[] = {"4k", "thp", "2m"};

constexpr std::uint64_t storage_bytes = full_arena_bytes;
constexpr std::uint64_t walk_blocks = 1 << 18;

struct Config {
    std::string name;
    Pages pages = Pages::thp;
    ChainProbe probe;
    bool shared = false;
};

// Maps and writes through one storage of that page kind, or null.
void* map_storage(Pages pages) {
    void* p = nullptr;
    if (pages == Pages::reserved) {
        p = mmap(nullptr, storage_bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE | MAP_HUGETLB | (21 << MAP_HUGE_SHIFT), -1, 0);
        if (p == MAP_FAILED) return nullptr;
    } else {
        p = mmap(nullptr, storage_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        madvise(p, storage_bytes, pages == Pages::thp ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
        if (madvise(p, storage_bytes, MADV_POPULATE_WRITE) != 0 && errno == ENOMEM) {
            munmap(p, storage_bytes);  // no room: this page kind is skipped, rather than the writes below OOM
            return nullptr;
        }
    }
    auto* bytes = static_cast<volatile std::uint8_t*>(p);
    for (std::uint64_t at = 0; at < storage_bytes; at += 4096) bytes[at] = static_cast<std::uint8_t>(at >> 12);
    return p;
}

std::vector<Config> configs() {
    using P = ChainProbe::Point;
    using H = ChainProbe::Hint;
    std::vector<Config> all;
    auto add = [&](std::string name, Pages pages, unsigned n, auto&& set) {
        Config c;
        c.name = name + " n=" + std::to_string(n);
        c.pages = pages;
        c.probe.chains = n;
        set(c);
        all.push_back(c);
    };
    for (unsigned n = 1; n <= max_lanes; ++n) {
        add("engine (index, nta)", Pages::thp, n, [](Config&) {});
        add("point start", Pages::thp, n, [](Config& c) { c.probe.point = P::start; });
        add("point end", Pages::thp, n, [](Config& c) { c.probe.point = P::end; });
        add("no prefetch", Pages::thp, n, [](Config& c) { c.probe.point = P::none; });
        add("hint t0", Pages::thp, n, [](Config& c) { c.probe.hint = H::t0; });
        add("hint t1", Pages::thp, n, [](Config& c) { c.probe.hint = H::t1; });
        add("hint t2", Pages::thp, n, [](Config& c) { c.probe.hint = H::t2; });
        add("lines backward", Pages::thp, n, [](Config& c) { c.probe.order = ChainProbe::Order::backward; });
        add("no compute", Pages::thp, n, [](Config& c) { c.probe.compressions = 0; });
        add("2 compressions", Pages::thp, n, [](Config& c) { c.probe.compressions = 2; });
        if (n > 1) add("one shared 2 GiB", Pages::thp, n, [](Config& c) { c.shared = true; });
        if (n % 2 == 0) {
            add("paired", Pages::thp, n, [](Config& c) { c.probe.paired = true; });
            add("paired, one shared 2 GiB", Pages::thp, n, [](Config& c) {
                c.probe.paired = true;
                c.shared = true;
            });
        }
        add("4k pages", Pages::small, n, [](Config&) {});
        add("2m reserved", Pages::reserved, n, [](Config&) {});
        add("4k no compute", Pages::small, n, [](Config& c) { c.probe.compressions = 0; });
    }
    return all;
}

double seconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

volatile std::uint64_t sink = 0;

// ns per block of one configuration on mapped storage.
double time_config(const EngineRow& engine, Config c, void* const* storage, clockid_t clock) {
    c.probe.blocks = storage_bytes / block_bytes;
    for (unsigned k = 0; k < max_lanes; ++k) c.probe.storage[k] = storage[c.shared ? 0 : k];
    const std::uint64_t steps = walk_blocks / c.probe.chains;
    sink = sink + engine.probes.chains(c.probe, 256);  // warm the code and the caches
    const double t0 = seconds(clock);
    sink = sink + engine.probes.chains(c.probe, steps);
    return 1e9 * (seconds(clock) - t0) / static_cast<double>(steps * c.probe.chains);
}

struct Bounds {
    std::vector<double> compute, random, dependent;
};

void time_bounds(const EngineRow& engine, void* storage, Bounds& b, clockid_t clock) {
    constexpr std::uint32_t window = 512;
    void* w = std::aligned_alloc(64, window * block_bytes);
    std::memset(w, 1, window * block_bytes);
    engine.probes.compute(w, window, 1024);
    double t0 = seconds(clock);
    engine.probes.compute(w, window, 1 << 16);
    b.compute.push_back(1e9 * (seconds(clock) - t0) / (1 << 16));
    std::free(w);
    t0 = seconds(clock);
    sink = sink + engine.probes.random(storage, storage_bytes, 1 << 18);
    b.random.push_back(1e9 * (seconds(clock) - t0) / (1 << 18));
    t0 = seconds(clock);
    sink = sink + probe_dependent_blocks(storage, storage_bytes, 1 << 16);
    b.dependent.push_back(1e9 * (seconds(clock) - t0) / (1 << 16));
}

// One round: every page kind in turn (its storages mapped once), its
// configurations forward or backward.
void run_round(const EngineRow& engine, const std::vector<Config>& all, unsigned round,
               std::vector<std::vector<double>>& ns, Bounds& bounds, clockid_t clock) {
    for (Pages pages : {Pages::thp, Pages::small, Pages::reserved}) {
        void* storage[max_lanes] = {};
        bool ok = true;
        for (auto& s : storage) ok = ok && (s = map_storage(pages)) != nullptr;
        if (ok) {
            if (pages == Pages::thp) time_bounds(engine, storage[0], bounds, clock);
            for (std::size_t n = 0; n < all.size(); ++n) {
                const std::size_t i = round % 2 == 0 ? n : all.size() - 1 - n;
                if (all[i].pages == pages) ns[i].push_back(time_config(engine, all[i], storage, clock));
            }
        }
        for (void* s : storage)
            if (s != nullptr) munmap(s, storage_bytes);
    }
}

std::string cell(const std::vector<double>& v) {
    if (v.empty()) return "(no storage of this kind)";
    const Spread s = spread_of(v);
    char text[64];
    std::snprintf(text, sizeof text, "%7.1f [%.1f-%.1f]", s.median, s.low, s.high);
    return text;
}

}  // namespace

int run_chain_probes(const EngineRow& engine, unsigned rounds, clockid_t clock) {
    if (engine.probes.chains == nullptr) {
        std::fprintf(stderr, "%s has no chain probe\n", engine.name);
        return 1;
    }
    const std::vector<Config> all = configs();
    std::vector<std::vector<double>> ns(all.size());
    Bounds bounds;
    for (unsigned round = 0; round < rounds; ++round) {
        std::printf("round %u/%u\n", round + 1, rounds);
        std::fflush(stdout);
        run_round(engine, all, round, ns, bounds, clock);
    }
    std::printf("\n%s chain probes, %u round(s), one thread, %llu blocks per row; ns per block, median [spread]\n",
                engine.name, rounds, static_cast<unsigned long long>(walk_blocks));
    std::printf("  compression in cache        %s\n", cell(bounds.compute).c_str());
    std::printf("  random read + stream        %s\n", cell(bounds.random).c_str());
    std::printf("  dependent 1 KiB read        %s\n", cell(bounds.dependent).c_str());
    if (!bounds.random.empty()) {
        const Spread r = spread_of(bounds.random);
        std::printf("  bound: 2^21 x random        %.3f s per hash, %.2f H/s per thread\n", r.median * 2.097152e-3,
                    1e9 / (r.median * block_count));
    }
    for (std::size_t i = 0; i < all.size(); ++i)
        std::printf("  %-4s %-32s %s\n", page_names[static_cast<int>(all[i].pages)], all[i].name.c_str(),
                    cell(ns[i]).c_str());
    return 0;
}

}  // namespace nolu::qxt
