#include "miner/worker.hpp"

#include "common/clock.hpp"
#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "host/topology.hpp"
#include "miner/recheck.hpp"
#include "miner/self_test.hpp"

namespace nolu::qxt {

const std::uint8_t bench_header[92] = {
#define Z10 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z'
    Z10, Z10, Z10, Z10, Z10, Z10, Z10, Z10, Z10, 'Z', 'Z',
#undef Z10
};

std::optional<std::uint64_t> job_nonce(std::uint64_t start, std::uint64_t end, std::uint64_t index,
                                       std::uint64_t threads, std::uint64_t d) {
    // Wrapping arithmetic, as the range is walked: a sum that wrapped lies below start.
    const std::uint64_t nonce = start + index + threads * d;
    if (nonce < start || nonce > end) return std::nullopt;
    return nonce;
}

std::uint64_t bench_nonce(std::uint64_t index, std::uint64_t d) {
    return (index << 40) + d;
}

namespace {

constexpr std::uint64_t idle_ms = 200;

void count_hash(const WorkerParams& p) {
    p.hashes->fetch_add(1);
    if (p.thread_hashes != nullptr) p.thread_hashes->fetch_add(1, std::memory_order_relaxed);
}

// Maps the arena and, when asked, checks the known record in it. A thread
// that fails either releases what it holds, is counted and ends.
bool take_arena(const WorkerParams& p, Arena& arena) {
    if (!arena_allocate(arena, p.settings)) {
        p.counters->failed.fetch_add(1);
        return false;
    }
    if (p.self_test && !self_test_passes(p.engine, arena)) {
        arena_release(arena);
        if (p.on_self_test_failure) p.on_self_test_failure();
        p.counters->self_test_failed.fetch_add(1);
        return false;
    }
    if (arena.huge_pages) {
        p.counters->huge.fetch_add(1);
        if (arena.page_shift == 30) p.counters->huge_1g.fetch_add(1);
    }
    p.counters->ready.fetch_add(1);
    return true;
}

void bench_loop(const WorkerParams& p, const Arena& arena) {
    alignas(64) std::uint8_t hash[32];
    for (std::uint64_t d = 0; !p.stop->load(); ++d) {
        p.engine(arena, bench_header, bench_nonce(static_cast<std::uint64_t>(p.index), d), hash);
        count_hash(p);
    }
}

// A hash that met the share target: re-checked (unless switched off), then
// handed in; a candidate when it also meets the network target.
void hand_in(const WorkerParams& p, const Arena& arena, const Job& job, std::uint64_t nonce,
             const std::uint8_t* hash) {
    if (p.recheck) {
        // Stopping: a second hash would hold up the stop, and the pool
        // client is going down, so the share could not go out anyway.
        if (p.stop->load()) return;
        if (!recheck_share(p.engine, arena, job.header_base.data(), nonce, hash)) {
            if (p.on_hardware_error) p.on_hardware_error(job, nonce);
            return;
        }
    }
    if (p.jobs->submit(job, nonce, hash) && meets_target(hash, job.network_target.data()) && p.on_candidate)
        p.on_candidate(job);
}

void mining_loop(const WorkerParams& p, const Arena& arena) {
    alignas(64) std::uint8_t hash[32];
    const auto index = static_cast<std::uint64_t>(p.index);
    const auto threads = static_cast<std::uint64_t>(p.thread_count);
    std::uint64_t d = 0;
    std::uint64_t last_seq = 0;
    while (!p.stop->load()) {
        const std::optional<Job> job = p.jobs->mineable_job();
        if (!job) {
            sleep_ms(idle_ms);
            continue;
        }
        if (job->seq != last_seq) d = 0;
        last_seq = job->seq;
        const auto nonce = job_nonce(job->nonce_start, job->nonce_end, index, threads, d);
        if (!nonce) {  // this thread's share of the range is used up: wait for another job
            sleep_ms(idle_ms);
            continue;
        }
        ++d;
        p.engine(arena, job->header_base.data(), *nonce, hash);
        count_hash(p);
        if (meets_target(hash, job->target.data())) hand_in(p, arena, *job, *nonce, hash);
    }
}

}  // namespace

void worker_main(WorkerParams p) {
    if (p.cpu >= 0) pin_to_cpu(p.cpu);
    Arena arena;
    if (!take_arena(p, arena)) return;
    if (p.jobs == nullptr) {
        bench_loop(p, arena);
    } else {
        mining_loop(p, arena);
    }
    arena_release(arena);
}

}  // namespace nolu::qxt
