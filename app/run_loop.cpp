#include "app/run_loop.hpp"

#include "console/console.hpp"
#include "app/fee.hpp"
#include "app/hash_rates.hpp"
#include "app/hardware_errors.hpp"
#include "app/mining_threads.hpp"
#include "offline/offline.hpp"
#include "console/signals.hpp"
#include "status/stats.hpp"
#include "app/status_snapshot.hpp"
#include "common/clock.hpp"
#include "pool/pool.hpp"

namespace nolu::qxt {

namespace {

constexpr std::uint64_t second_ns = 1000000000ull;

// Samples the hash counters once a second into the rate rings.
class Sampler {
public:
    explicit Sampler(const MiningThreads& threads)
        : threads_(threads), rates_(threads.hashes(), threads.thread_hashes()) {}
    // Sleeps one second, then stores the hashes of that second.
    void next_second() {
        sleep_ns(second_ns);
        rates_.sample(threads_.hashes(), threads_.thread_hashes());
    }
    const RateRing& ring() const { return rates_.total(); }
    const HashRates& rates() const { return rates_; }

private:
    const MiningThreads& threads_;
    HashRates rates_;
};

Config pool_config(const Setup& setup, const MiningPlan& plan) {
    Config config;
    config.host = plan.endpoint.host;
    config.port = plan.endpoint.port;
    config.tls = plan.endpoint.tls;
    config.fingerprint = plan.endpoint.fingerprint;
    config.tls_ca = setup.options.tls_ca;
    config.backups = plan.backups;
    config.address = setup.options.address;
    config.worker = plan.worker;
    config.agent = std::string("nolu-korven-qxt/") + version_text;
    config.difficulty_hint = 60LL * plan.threads;
    return config;
}

// The speed line, and the statistics file when one is asked for.
void report_speed(const Setup& setup, const RateRing& ring, const ShareCounters& shares, std::uint64_t uptime_s,
                  bool pool_tls) {
    const std::uint64_t accepted = shares.accepted.load();
    const std::uint64_t rejected = shares.rejected.load();
    const std::uint64_t hw_errors = shares.hw_errors.load();
    log_line(colours.grey, "speed", format_speed_line(ring, accepted, rejected) + hardware_error_suffix(hw_errors));
    if (!setup.options.stats_file.empty())
        write_stats_file(setup.options.stats_file,
                         format_stats_json(ring.rate(60), accepted, rejected, uptime_s, hw_errors, pool_tls));
}

// A run in which no thread holds an arena has nothing to mine with: it ends
// (status 1, a red line) instead of idling where no watchdog notices.
bool no_arena_at_all(const MiningThreads& threads) {
    return threads.counters().ready.load() == 0 && !stop_flag.load();
}

Failure no_arena_failure() {
    return memory_failure("no mining thread could map its arena: nothing to mine with");
}

}  // namespace

int run_benchmark(const Setup& setup, const MiningPlan& plan, StatusBoard& board) {
    MiningThreads threads;
    const std::uint64_t uptime_start = steady_ns();
    if (const Outcome<Done> started = start_and_check(threads, setup, plan, nullptr, nullptr); !started) {
        threads.stop_and_join();
        return report_failure(started.error());
    }
    if (no_arena_at_all(threads)) return report_failure(no_arena_failure());
    Sampler sampler(threads);
    const BenchMeter meter(threads.hashes(), steady_ns());
    auto publish = [&] {
        const std::uint64_t uptime_s = (steady_ns() - uptime_start) / second_ns;
        board.publish(hashing_snapshot(setup, plan, threads, sampler.rates(), uptime_s));
    };
    publish();
    const auto seconds = static_cast<std::uint64_t>(setup.options.bench);
    while (!stop_flag.load()) {
        sampler.next_second();
        publish();
        if (sampler.ring().samples() >= seconds) {
            log_line(colours.bold, "bench",
                     format_bench_line(plan.threads, meter.rate(threads.hashes(), steady_ns()), setup.options.bench));
            break;
        }
    }
    threads.stop_and_join();
    return 0;
}

int run_mining(const Setup& setup, const MiningPlan& plan, StatusBoard& board) {
    ShareCounters shares;
    Pool pool;
    pool.set_callbacks([](const std::string& text) { log_line(colours.grey, "net  ", text); },
                       [&shares](bool accepted, const std::string& reason) { record_share(shares, accepted, reason); });
    const Config config = pool_config(setup, plan);
    ReconnectCount reconnects;
    reconnects.before_start(pool.connection_number());
    pool.start(config);

    MiningThreads threads;
    const std::uint64_t uptime_start = steady_ns();
    if (const Outcome<Done> started = start_and_check(threads, setup, plan, &pool, &shares); !started) {
        pool.stop();
        threads.stop_and_join();
        return report_failure(started.error());
    }
    if (no_arena_at_all(threads)) {
        pool.stop();
        return report_failure(no_arena_failure());
    }

    FeeSwitch fee(
        config,
        [&pool, &reconnects](const Config& next) {
            pool.stop();
            reconnects.before_start(pool.connection_number());
            pool.start(next);
        },
        [](const char* line) { log_line(colours.grey, "fee  ", line); });
    Sampler sampler(threads);
    auto publish = [&] {
        MinerSnapshot snapshot =
            hashing_snapshot(setup, plan, threads, sampler.rates(), (steady_ns() - uptime_start) / second_ns);
        add_pool_facts(snapshot, pool, shares, reconnects.total(pool.connection_number()), fee.in_fee());
        board.publish(std::move(snapshot));
    };
    publish();
    HardwareErrorWatch hw_watch;
    const std::uint64_t fee_clock_start = steady_ns();
    while (!stop_flag.load()) {
        sampler.next_second();
        fee.tick((steady_ns() - fee_clock_start) / second_ns);
        publish();
        if (hw_watch.tick(steady_ns() / second_ns, shares.hw_errors.load()))
            log_line(colours.red, "hw   ", unstable_machine_warning());
        if (sampler.ring().samples() % 10 == 0)
            report_speed(setup, sampler.ring(), shares, (steady_ns() - uptime_start) / second_ns, pool.tls());
    }

    stop_flag.exchange(true);
    pool.stop();
    threads.stop_and_join();
    console_write("\n shutdown requested — clean exit\n");
    return 0;
}

}  // namespace nolu::qxt
