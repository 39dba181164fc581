// The mining thread: pin, map the arena (one per lane), pass the self-test,
// copy the job before every hash, walk the nonce range, hash, count,
// re-check and hand in shares.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "hash/arena.hpp"
#include "hash/engine_table.hpp"
#include "hash/settings.hpp"
#include "pool/job.hpp"

namespace nolu::qxt {

// Start-up counters the threads report to main.
struct StartupCounters {
    std::atomic<int> failed{0};            // threads without an arena
    std::atomic<int> huge{0};              // arenas in explicit huge pages of either size
    std::atomic<int> huge_1g{0};           // arenas in 1 GiB pages
    std::atomic<int> ready{0};             // threads holding their arenas (that passed the self-test)
    std::atomic<int> self_test_failed{0};  // threads stopped by a wrong self-test hash (arenas released)
    std::atomic<int> arenas{0};            // arenas held (a thread with lanes holds several)
};

struct WorkerParams {
    int index = 0;
    int thread_count = 1;
    int cpu = -1;                                // processor to pin to; -1: not pinned
    Engine engine = nullptr;
    LaneEngine hash_lanes = nullptr;             // needed with lanes > 1
    int lanes = 1;                               // nonces hashed at once, one arena each
    HashSettings settings;                       // the arenas' layout
    bool self_test = true;                       // hash the known record before any work
    bool recheck = true;                         // hash every share a second time before it goes out
    int nice = 0;                                // added to the thread's nice value (lower priority); 0: unchanged
    // Required (never null):
    const std::atomic<bool>* stop = nullptr;     // ends the loop after the hash in progress
    StartupCounters* counters = nullptr;
    JobSource* jobs = nullptr;                   // null: benchmark, the fixed header, no pool
    std::atomic<std::uint64_t>* thread_hashes = nullptr;  // this thread's own hash count
    // Optional: while set no new hash starts (the one in progress ends); the
    // arenas stay mapped and the walk goes on where it stopped.
    const std::atomic<bool>* hold = nullptr;
    // Called for a share handed in that also meets the job's network target.
    std::function<void(const Job& job)> on_candidate;
    // Called, before the thread counts itself in self_test_failed and ends,
    // when the known record hashed wrong.
    std::function<void()> on_self_test_failure;
    // Called for a share withheld because its second computation differed.
    std::function<void(const Job& job, std::uint64_t nonce)> on_hardware_error;
};

void worker_main(WorkerParams params);

// The nice value --cpu-priority <level> adds to the mining threads: level 0
// changes nothing, 1 to 5 give 2, 5, 10, 15 and 19 (the lowest priority).
int priority_nice(int level);

// The share step of one hash: when it meets the job's share target it is
// hashed once more in arena (unless params.recheck is off; a differing tag
// is a hardware error, withheld), handed in, and reported as a block
// candidate when the share was taken and also meets the network target.
void settle_share(const WorkerParams& params, const Arena& arena, const Job& job, std::uint64_t nonce,
                  const std::uint8_t* hash);

// Nonce of step d for thread index of T threads in [start, end], or nothing
// when it lies past end or the sum wrapped around 2^64.
std::optional<std::uint64_t> job_nonce(std::uint64_t start, std::uint64_t end, std::uint64_t index,
                                       std::uint64_t threads, std::uint64_t d);

// Benchmark nonces: every thread has its own range of 2^40.
std::uint64_t bench_nonce(std::uint64_t index, std::uint64_t d);

// The fixed benchmark header: 92 bytes of 'Z'.
extern const std::uint8_t bench_header[92];

}  // namespace nolu::qxt
