#include "tune/trial.hpp"

#include <algorithm>
#include <barrier>
#include <thread>

#include "common/clock.hpp"
#include "hash/arena.hpp"
#include "host/topology.hpp"
#include "miner/worker.hpp"

namespace nolu::qxt {

namespace {

double seconds_now() { return static_cast<double>(steady_ns()) * 1e-9; }

struct ThreadResult {
    double hashes = 0;
    double span = 0;  // seconds from the end of the first call to the end of the last
};

void hash_once(const TrialPlan& plan, const std::vector<Arena>& arenas, std::uint64_t index, std::uint64_t d) {
    alignas(64) std::uint8_t out[max_lanes][32];
    std::uint64_t nonces[max_lanes];
    const auto lanes = static_cast<unsigned>(plan.lanes);
    for (unsigned k = 0; k < lanes; ++k) nonces[k] = bench_nonce(index, d + k);
    hash_nonces(plan.engine->hash, plan.engine->hash_lanes, arenas.data(), bench_header, nonces, lanes, out[0]);
}

}  // namespace

TrialOutcome run_trial(const TrialPlan& given, double seconds, const std::atomic<bool>& stop) {
    TrialPlan plan = given;
    plan.settings.stop = &stop;  // a call of several lanes ends early on a stop
    const auto threads = static_cast<std::size_t>(std::max(plan.threads, 1));
    std::vector<ThreadResult> results(threads);
    std::atomic<bool> no_memory{false};
    std::barrier ready(static_cast<std::ptrdiff_t>(threads));
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            if (t < plan.cpus.size()) pin_to_cpu(plan.cpus[t]);
            std::vector<Arena> arenas(static_cast<std::size_t>(plan.lanes));
            for (Arena& a : arenas)
                if (!arena_allocate(a, plan.settings)) no_memory = true;
            ready.arrive_and_wait();
            if (!no_memory) {
                std::uint64_t d = 0;
                hash_once(plan, arenas, t, d);
                d += static_cast<std::uint64_t>(plan.lanes);
                const double first = seconds_now();
                double last = first;
                int calls = 0;
                while (!stop.load() && (calls == 0 || last - first < seconds)) {
                    hash_once(plan, arenas, t, d);
                    if (stop.load()) break;  // it may have ended early
                    d += static_cast<std::uint64_t>(plan.lanes);
                    last = seconds_now();
                    ++calls;
                }
                results[t].hashes = static_cast<double>(calls) * plan.lanes;
                results[t].span = last - first;
            }
            for (Arena& a : arenas) arena_release(a);
        });
    }
    for (std::thread& th : pool) th.join();
    TrialOutcome outcome;
    outcome.failed = no_memory.load();
    if (outcome.failed) return outcome;
    for (const ThreadResult& r : results)
        if (r.span > 0) outcome.rate += r.hashes / r.span;
    return outcome;
}

}  // namespace nolu::qxt
