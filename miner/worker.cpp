#include "miner/worker.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

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

void settle_share(const WorkerParams& p, const Arena& arena, const Job& job, std::uint64_t nonce,
                  const std::uint8_t* hash) {
    if (!meets_target(hash, job.target.data())) return;
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

int priority_nice(int level) {
    static constexpr int nice_by_level[] = {0, 2, 5, 10, 15, 19};
    return nice_by_level[std::clamp(level, 0, 5)];
}

namespace {

constexpr std::uint64_t idle_ms = 200;
constexpr std::uint64_t hold_poll_ms = 50;  // a held thread looks this often whether to go on

// Adds n to this thread's nice value (Linux keeps one per thread), at most 19.
void lower_priority(int n) {
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, tid);
    if (errno != 0) return;
    ::setpriority(PRIO_PROCESS, tid, std::min(now + n, 19));
}

void count_hashes(const WorkerParams& p, unsigned n) {
    p.thread_hashes->fetch_add(n, std::memory_order_relaxed);
}

// The self-test in every arena: the known record through the engine the
// thread mines with (the lane entry when it has several arenas). False when
// stopped before it ended.
bool self_test_ok(const WorkerParams& p, const std::vector<Arena>& arenas, bool& stopped) {
    const bool ok = arenas.size() == 1 ? self_test_passes(p.engine, arenas[0])
                                       : self_test_passes_lanes(p.hash_lanes, arenas);
    stopped = !ok && arenas.size() > 1 && p.stop->load();  // the call may have ended early
    return ok;
}

// The thread's arenas, one per lane (one without a lane entry), all or
// none, and when asked the known record checked in them. A thread that fails
// either releases what it holds, is counted and ends.
bool take_arenas(const WorkerParams& p, std::vector<Arena>& arenas) {
    arenas.resize(p.hash_lanes != nullptr ? static_cast<std::size_t>(std::clamp(p.lanes, 1, int{max_lanes})) : 1);
    for (Arena& arena : arenas) {
        if (!arena_allocate(arena, p.settings)) {
            for (Arena& a : arenas) arena_release(a);
            p.counters->failed.fetch_add(1);
            return false;
        }
        if (p.stop->load()) {  // asked while the arenas were being populated
            for (Arena& a : arenas) arena_release(a);
            return false;
        }
    }
    bool stopped = false;
    if (p.self_test && !self_test_ok(p, arenas, stopped)) {
        for (Arena& a : arenas) arena_release(a);
        if (stopped) return false;  // nothing is wrong; the miner is going down
        if (p.on_self_test_failure) p.on_self_test_failure();
        p.counters->self_test_failed.fetch_add(1);
        return false;
    }
    for (const Arena& arena : arenas) {
        if (arena.huge_pages) {
            p.counters->huge.fetch_add(1);
            if (arena.page_shift == 30) p.counters->huge_1g.fetch_add(1);
        }
    }
    p.counters->arenas.fetch_add(static_cast<int>(arenas.size()));
    p.counters->ready.fetch_add(1);
    return true;
}

void bench_loop(const WorkerParams& p, const std::vector<Arena>& arenas) {
    alignas(64) std::uint8_t hashes[max_lanes][32];
    const auto lanes = static_cast<unsigned>(arenas.size());
    std::uint64_t nonces[max_lanes];
    for (std::uint64_t d = 0; !p.stop->load(); d += lanes) {
        for (unsigned k = 0; k < lanes; ++k) nonces[k] = bench_nonce(static_cast<std::uint64_t>(p.index), d + k);
        hash_nonces(p.engine, p.hash_lanes, arenas.data(), bench_header, nonces, lanes, hashes[0]);
        if (lanes > 1 && p.stop->load()) break;  // the call may have ended early
        count_hashes(p, lanes);
    }
}

void mining_loop(const WorkerParams& p, const std::vector<Arena>& arenas) {
    alignas(64) std::uint8_t hashes[max_lanes][32];
    const auto lanes = static_cast<unsigned>(arenas.size());
    const auto index = static_cast<std::uint64_t>(p.index);
    const auto threads = static_cast<std::uint64_t>(p.thread_count);
    std::uint64_t d = 0;
    std::uint64_t last_seq = 0;
    while (!p.stop->load()) {
        if (p.hold != nullptr && p.hold->load()) {
            sleep_ms(hold_poll_ms);
            continue;
        }
        const std::optional<Job> job = p.jobs->mineable_job();
        if (!job) {
            sleep_ms(idle_ms);
            continue;
        }
        if (job->seq != last_seq) d = 0;
        last_seq = job->seq;
        // The next steps of this thread's walk, one per lane, as far as the range goes.
        std::uint64_t nonces[max_lanes];
        unsigned n = 0;
        for (; n < lanes; ++n) {
            const auto nonce = job_nonce(job->nonce_start, job->nonce_end, index, threads, d + n);
            if (!nonce) break;
            nonces[n] = *nonce;
        }
        if (n == 0) {  // this thread's share of the range is used up: wait for another job
            sleep_ms(idle_ms);
            continue;
        }
        d += n;
        hash_nonces(p.engine, p.hash_lanes, arenas.data(), job->header_base.data(), nonces, n, hashes[0]);
        if (n > 1 && p.stop->load()) break;  // the call may have ended early: its hashes are not whole
        count_hashes(p, n);
        for (unsigned k = 0; k < n; ++k) settle_share(p, arenas[k], *job, nonces[k], hashes[k]);
    }
}

}  // namespace

void worker_main(WorkerParams p) {
    if (p.cpu >= 0) pin_to_cpu(p.cpu);
    if (p.nice > 0) lower_priority(p.nice);
    p.settings.stop = p.stop;  // a call of several lanes ends early on a stop
    std::vector<Arena> arenas;
    if (!take_arenas(p, arenas)) return;
    if (p.jobs == nullptr) {
        bench_loop(p, arenas);
    } else {
        mining_loop(p, arenas);
    }
    for (Arena& arena : arenas) arena_release(arena);
}

}  // namespace nolu::qxt
