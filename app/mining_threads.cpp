#include "app/mining_threads.hpp"

#include <system_error>

#include "app/console.hpp"
#include "app/signals.hpp"
#include "common/clock.hpp"

namespace nolu::qxt {

MiningThreads::~MiningThreads() { stop_and_join(); }

void MiningThreads::start(const Setup& setup, const MiningPlan& plan, JobSource* jobs) {
    count_ = plan.threads;
    threads_.reserve(static_cast<std::size_t>(count_));
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
        p.stop = &stop_flag;
        p.counters = &counters_;
        p.hashes = &hashes_;
        p.jobs = jobs;
        p.on_candidate = [](const Job& job) {
            log_line(colours.green, "block", "candidate found at height " + std::to_string(job.height));
        };
        try {
            threads_.emplace_back(worker_main, std::move(p));
        } catch (const std::system_error&) {
            counters_.failed.fetch_add(count_ - i);
            break;
        }
    }
}

void MiningThreads::wait_for_arenas() const {
    while (counters_.ready.load() + counters_.failed.load() < count_ && !stop_flag.load()) sleep_ms(100);
}

void MiningThreads::stop_and_join() {
    stop_flag.exchange(true);
    for (std::thread& t : threads_) t.join();
    threads_.clear();
}

}  // namespace nolu::qxt
