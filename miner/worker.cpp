#include "miner/worker.hpp"

#include <time.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/console.hpp"
#include "hash/argon2.hpp"
#include "host/topology.hpp"
#include "pool/pool.hpp"

namespace nolu::qxt {

std::atomic<bool> stop_flag{false};

const std::uint8_t bench_header[92] = {
#define Z10 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z'
    Z10, Z10, Z10, Z10, Z10, Z10, Z10, Z10, Z10, 'Z', 'Z',
#undef Z10
};

namespace {

void sleep_ms(long ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

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

void worker_main(WorkerParams p) {
    if (p.cpus != nullptr && p.index < static_cast<int>(p.cpus->size()) && (*p.cpus)[p.index] >= 0)
        pin_to_cpu((*p.cpus)[p.index]);

    Arena arena;
    if (!arena_allocate(arena)) {
        arena_release(arena);
        p.counters->failed.fetch_add(1);
        return;
    }
    if (arena.huge_pages) {
        p.counters->huge.fetch_add(1);
        if (arena.page_shift == 30) p.counters->huge_1g.fetch_add(1);
    }
    p.counters->ready.fetch_add(1);

    alignas(64) std::uint8_t hash[32];
    const std::uint64_t index = static_cast<std::uint64_t>(p.index);
    const std::uint64_t threads = static_cast<std::uint64_t>(p.thread_count);
    std::uint64_t d = 0;
    std::uint64_t last_seq = 0;
    Job job;

    while (!stop_flag.load()) {
        if (p.bench_seconds != 0) {
            p.engine(arena, bench_header, bench_nonce(index, d), hash);
            p.hashes->fetch_add(1);
            ++d;
            continue;
        }

        {
            std::lock_guard<std::mutex> lock(p.pool->job_mutex);
            job = p.pool->job;
        }
        if (!job.valid || !p.pool->connected.load()) {
            sleep_ms(200);
            continue;
        }
        if (job.seq != last_seq) d = 0;
        const auto nonce = job_nonce(job.nonce_start, job.nonce_end, index, threads, d);
        if (!nonce) {
            sleep_ms(200);
            last_seq = job.seq;
            continue;
        }
        ++d;
        p.engine(arena, job.header_base.data(), *nonce, hash);
        p.hashes->fetch_add(1);

        if (meets_target(hash, job.target.data()) && p.pool->connection_count.load() == job.connection) {
            p.pool->submit(job.job_id, *nonce, hash, job.connection);
            if (meets_target(hash, job.network_target.data()))
                log_line(colours.green, "block", "candidate found at height " + std::to_string(job.height));
        }
        last_seq = job.seq;
    }
    arena_release(arena);
}

}  // namespace nolu::qxt
