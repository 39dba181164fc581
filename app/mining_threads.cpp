#include "app/mining_threads.hpp"

#include <system_error>

#include "console/console.hpp"
#include "app/hardware_errors.hpp"
#include "app/report.hpp"
#include "app/self_test_report.hpp"
#include "console/signals.hpp"
#include "common/clock.hpp"

namespace nolu::qxt {

MiningThreads::~MiningThreads() { stop_and_join(); }

void MiningThreads::start(const Setup& setup, const MiningPlan& plan, JobSource* jobs, ShareCounters* shares,
                          const std::atomic<bool>* hold) {
    count_ = plan.threads;
    const std::string hashing = describe_hashing(*setup.engine, plan.settings, plan.lanes);
    threads_.reserve(static_cast<std::size_t>(count_));
    thread_counters_ = std::vector<ThreadCounter>(static_cast<std::size_t>(count_));
    const std::vector<int>& cpus = setup.topology.cpus;
    for (int i = 0; i < count_; ++i) {
        WorkerParams p;
        p.index = i;
        p.thread_count = count_;
        p.cpu = i < static_cast<int>(cpus.size()) ? cpus[static_cast<std::size_t>(i)] : -1;
        p.engine = setup.engine->hash;
        p.hash_lanes = setup.engine->hash_lanes;
        p.lanes = plan.lanes;
        p.settings = plan.settings;
        p.self_test = self_test_runs(plan);
        p.recheck = plan.recheck;
        p.nice = plan.nice;
        p.hold = hold;
        p.stop = &stop_flag;
        p.counters = &counters_;
        p.jobs = jobs;
        p.thread_hashes = &thread_counters_[static_cast<std::size_t>(i)].hashes;
        p.on_candidate = [this](const Job& job) {
            blocks_found_.fetch_add(1);
            log_line(colours.green, "block", "candidate found at height " + std::to_string(job.height));
        };
        p.on_self_test_failure = [i, cpu = p.cpu, hashing] {
            log_line(colours.red, "check", self_test_failure_line(i, cpu, hashing));
        };
        if (shares != nullptr)
            p.on_hardware_error = [shares, i](const Job& job, std::uint64_t nonce) {
                record_hardware_error(*shares, i, job, nonce);
            };
        try {
            threads_.emplace_back(worker_main, std::move(p));
        } catch (const std::system_error&) {
            counters_.failed.fetch_add(count_ - i);
            break;
        }
    }
}

std::vector<std::uint64_t> MiningThreads::thread_hashes() const {
    std::vector<std::uint64_t> counts;
    counts.reserve(thread_counters_.size());
    for (const ThreadCounter& c : thread_counters_) counts.push_back(c.hashes.load(std::memory_order_relaxed));
    return counts;
}

void MiningThreads::wait_for_arenas() const {
    while (counters_.ready.load() + counters_.failed.load() + counters_.self_test_failed.load() < count_ &&
           !stop_flag.load())
        sleep_ms(100);
}

void MiningThreads::stop_and_join() {
    stop_flag.exchange(true);
    for (std::thread& t : threads_) t.join();
    threads_.clear();
}

Outcome<Done> start_and_check(MiningThreads& threads, const Setup& setup, const MiningPlan& plan, JobSource* jobs,
                              ShareCounters* shares, const std::atomic<bool>* hold) {
    threads.start(setup, plan, jobs, shares, hold);
    threads.wait_for_arenas();
    print_arena_report(threads.counters());
    return report_self_test(setup, plan, threads.counters(), threads.count());
}

}  // namespace nolu::qxt
