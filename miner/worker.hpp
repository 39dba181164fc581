// The mining thread: pin, map the arena, pass the self-test, copy the job
// before every hash, walk the nonce range, hash, count, re-check and hand in
// shares.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "hash/engine_table.hpp"
#include "hash/settings.hpp"
#include "pool/job.hpp"

namespace nolu::qxt {

// Start-up counters the threads report to main.
struct StartupCounters {
    std::atomic<int> failed{0};            // threads without an arena
    std::atomic<int> huge{0};              // arenas in explicit huge pages of either size
    std::atomic<int> huge_1g{0};           // arenas in 1 GiB pages
    std::atomic<int> ready{0};             // threads holding an arena (that passed the self-test)
    std::atomic<int> self_test_failed{0};  // threads stopped by a wrong self-test hash (arena released)
};

struct WorkerParams {
    int index = 0;
    int thread_count = 1;
    int cpu = -1;                                // processor to pin to; -1: not pinned
    Engine engine = nullptr;
    HashSettings settings;                       // the arena's layout
    bool self_test = true;                       // hash the known record before any work
    bool recheck = true;                         // hash every share a second time before it goes out
    // Required (never null):
    const std::atomic<bool>* stop = nullptr;     // ends the loop after the hash in progress
    StartupCounters* counters = nullptr;
    std::atomic<std::uint64_t>* hashes = nullptr;
    JobSource* jobs = nullptr;                   // null: benchmark, the fixed header, no pool
    std::atomic<std::uint64_t>* thread_hashes = nullptr;  // optional: this thread's own hash count
    // Called for a share handed in that also meets the job's network target.
    std::function<void(const Job& job)> on_candidate;
    // Called, before the thread counts itself in self_test_failed and ends,
    // when the known record hashed wrong.
    std::function<void()> on_self_test_failure;
    // Called for a share withheld because its second computation differed.
    std::function<void(const Job& job, std::uint64_t nonce)> on_hardware_error;
};

void worker_main(WorkerParams params);

// Nonce of step d for thread index of T threads in [start, end], or nothing
// when it lies past end or the sum wrapped around 2^64.
std::optional<std::uint64_t> job_nonce(std::uint64_t start, std::uint64_t end, std::uint64_t index,
                                       std::uint64_t threads, std::uint64_t d);

// Benchmark nonces: every thread has its own range of 2^40.
std::uint64_t bench_nonce(std::uint64_t index, std::uint64_t d);

// The fixed benchmark header: 92 bytes of 'Z'.
extern const std::uint8_t bench_header[92];

}  // namespace nolu::qxt
