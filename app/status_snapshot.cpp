#include "app/status_snapshot.hpp"

#include "console/console.hpp"

namespace nolu::qxt {

namespace {

WindowRates window_rates(const RateRing& ring) {
    return {ring.rate(10), ring.rate(60), ring.rate(900)};
}

}  // namespace

void ReconnectCount::before_start(std::uint64_t connections) {
    settled_ += since_start(connections);
    at_start_ = connections;
}

std::uint64_t ReconnectCount::total(std::uint64_t connections) const {
    return settled_ + since_start(connections);
}

std::uint64_t ReconnectCount::since_start(std::uint64_t connections) const {
    return connections > at_start_ + 1 ? connections - at_start_ - 1 : 0;
}

MinerSnapshot hashing_snapshot(const Setup& setup, const MiningPlan& plan, const MiningThreads& threads,
                               const HashRates& rates, std::uint64_t uptime_s,
                               const std::optional<double>& temperature_c) {
    MinerSnapshot s;
    s.version = version_text;
    s.engine = setup.engine->name;
    s.mode = plan.bench ? "bench" : "mining";
    const StartupCounters& c = threads.counters();
    s.threads = c.ready.load();
    s.uptime_s = uptime_s;
    s.hashes = rates.total_hashes();
    s.rates = window_rates(rates.total());
    for (std::size_t i = 0; i < rates.thread_count(); ++i)
        s.per_thread.push_back({rates.thread_hashes(i), window_rates(rates.thread(i))});
    s.blocks_found = threads.blocks_found();
    s.arenas_1g = c.huge_1g.load();
    s.arenas_2m = c.huge.load() - c.huge_1g.load();
    s.arenas_thp = c.ready.load() - c.huge.load();
    s.start_time_s = plan.start_time_s;
    s.temperature_c = temperature_c;
    return s;
}

void add_pool_facts(MinerSnapshot& s, Pool& pool, std::uint64_t reconnects, bool fee_active) {
    const Config config = pool.config();
    const Job job = pool.current_job();
    PoolFacts p;
    const Endpoint in_use = pool.pool_in_use();
    p.in_use = endpoint_text(in_use);
    p.tls = in_use.tls;
    p.role = pool.current_pool() == 0 ? "primary" : "backup";
    p.worker = config.worker;
    p.connected = pool.connected();
    p.reconnects = reconnects;
    p.job_height = job.height;
    p.job_difficulty = job.difficulty;
    s.pool = p;
    s.fee_active = fee_active;
}

void add_pause_facts(MinerSnapshot& s, bool paused, std::uint64_t thermal_pauses) {
    s.paused = paused;
    s.thermal_pauses = thermal_pauses;
}

}  // namespace nolu::qxt
