// The mining threads of one run: started in index order, each pinned to its
// core of the placement list, waited for until every one holds an arena and
// has passed the self-test, or has stopped, joined at the end.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "console/failure.hpp"
#include "app/startup.hpp"
#include "status/stats.hpp"
#include "miner/worker.hpp"
#include "pool/job.hpp"

namespace nolu::qxt {

class MiningThreads {
public:
    MiningThreads() = default;
    MiningThreads(const MiningThreads&) = delete;
    MiningThreads& operator=(const MiningThreads&) = delete;
    ~MiningThreads();

    // Starts plan.threads threads; jobs null: the benchmark. A thread the
    // system refuses counts as failed, with all after it. Hardware errors
    // are counted in shares (null: the benchmark, which has no shares).
    // While hold (optional) is set the threads start no hash.
    void start(const Setup& setup, const MiningPlan& plan, JobSource* jobs, ShareCounters* shares,
               const std::atomic<bool>* hold = nullptr);
    // Waits in 100 ms steps until every thread holds an arena and has
    // passed the self-test, or has stopped, or the stop flag is set.
    void wait_for_arenas() const;
    // Sets the stop flag and joins the threads (each finishes its hash).
    void stop_and_join();

    const StartupCounters& counters() const { return counters_; }
    // Each thread's own hash count, by index.
    std::vector<std::uint64_t> thread_hashes() const;
    // Block candidates the threads reported.
    std::uint64_t blocks_found() const { return blocks_found_.load(); }
    int count() const { return count_; }

private:
    // One cache line per thread's counter.
    struct alignas(64) ThreadCounter {
        std::atomic<std::uint64_t> hashes{0};
    };

    StartupCounters counters_;
    std::vector<ThreadCounter> thread_counters_;
    std::atomic<std::uint64_t> blocks_found_{0};
    std::vector<std::thread> threads_;
    int count_ = 0;
};

// Starts the threads, waits for them, prints where the arenas went and the
// self-test's outcome. Fails (status 1) when the self-test stopped every
// thread that ran it; the caller then stops and joins the threads.
Outcome<Done> start_and_check(MiningThreads& threads, const Setup& setup, const MiningPlan& plan, JobSource* jobs,
                              ShareCounters* shares, const std::atomic<bool>* hold = nullptr);

}  // namespace nolu::qxt
