#include "app/run_loop.hpp"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "console/console.hpp"
#include "console/log_file.hpp"
#include "app/fee.hpp"
#include "app/hash_rates.hpp"
#include "app/hardware_errors.hpp"
#include "app/mining_threads.hpp"
#include "app/pause_control.hpp"
#include "offline/offline.hpp"
#include "console/signals.hpp"
#include "status/stats.hpp"
#include "app/status_snapshot.hpp"
#include "common/clock.hpp"
#include "host/temperature.hpp"
#include "pool/pool.hpp"

namespace nolu::qxt {

namespace {

constexpr std::uint64_t second_ns = 1000000000ull;
constexpr std::uint64_t step_ns = 100000000ull;

// Samples the hash counters once a second into the rate rings.
class Sampler {
public:
    explicit Sampler(const MiningThreads& threads) : threads_(threads), rates_(threads.thread_hashes()) {}
    // Sleeps one second in steps of 100 ms, calling between after each (a
    // stop ends the sleep), then stores the hashes of that second.
    void next_second(const std::function<void()>& between = {}) {
        const std::uint64_t end = steady_ns() + second_ns;
        for (std::uint64_t now = steady_ns(); now < end && !stop_flag.load(); now = steady_ns()) {
            sleep_ns(std::min(step_ns, end - now));
            if (between) between();
        }
        rates_.sample(threads_.thread_hashes());
    }
    const RateRing& ring() const { return rates_.total(); }
    const HashRates& rates() const { return rates_; }

private:
    const MiningThreads& threads_;
    HashRates rates_;
};

// From the plan in force: the start's, or one a reload changed.
Config pool_config(const MiningPlan& plan) {
    Config config;
    config.host = plan.endpoint.host;
    config.port = plan.endpoint.port;
    config.tls = plan.endpoint.tls;
    config.fingerprint = plan.endpoint.fingerprint;
    config.tls_ca = plan.tls_ca;
    config.backups = plan.backups;
    config.address = plan.address;
    config.worker = plan.worker;
    config.agent = std::string("nolu-korven-qxt/") + version_text;
    config.difficulty_hint = 60LL * plan.threads;
    return config;
}

// The speed line, and the statistics file when one is asked for, from the
// snapshot the watchers see.
void report_speed(const MiningPlan& plan, const MinerSnapshot& snapshot) {
    log_line(colours.grey, "speed", format_speed_line(snapshot) + hardware_error_suffix(snapshot.hw_errors));
    if (!plan.stats_file.empty()) write_stats_file(plan.stats_file, format_stats_json(snapshot));
}

// A run in which no thread holds an arena has nothing to mine with: it ends
// (status 1, a red line) instead of idling where no watchdog notices.
bool no_arena_at_all(const MiningThreads& threads) {
    return threads.counters().ready.load() == 0 && !stop_flag.load();
}

Failure no_arena_failure() {
    return memory_failure("no mining thread could map its arena: nothing to mine with");
}

// Where a reload's changes go: the pools through the fee switch (which
// reconnects), the token to the status server, the log file to the console.
ReloadTargets reload_targets(FeeSwitch& fee, StatusService& service, const MiningPlan& plan) {
    ReloadTargets targets;
    targets.pools = [&fee, &plan](const Options& live) { fee.set_user(pool_config(with_pools(plan, live))); };
    targets.token = [&service](const std::string& token) {
        const Status set = service.set_token(token);
        return set ? std::string() : set.error().message;
    };
    targets.log_file = [](const std::string& path) {
        const Status switched = switch_log_file(path);
        return switched ? std::string() : switched.error().message;
    };
    return targets;
}

// The run's pause control behind POST /pause and /resume while the run
// lasts; at its end the server stops first, so no request reaches it after.
class ControlAttached {
public:
    ControlAttached(StatusService& service, RunControl& control) : service_(service) { service_.attach(&control); }
    ~ControlAttached() {
        service_.stop();
        service_.attach(nullptr);
    }
    ControlAttached(const ControlAttached&) = delete;
    ControlAttached& operator=(const ControlAttached&) = delete;

private:
    StatusService& service_;
};

// Past the deadline: lets every thread end the batch it is in (one batch,
// a few seconds at most), reading the counts every 10 ms.
void settle_bench(BenchMeter& meter, const MiningThreads& threads) {
    meter.close(threads.thread_hashes(), steady_ns());
    const std::uint64_t give_up = steady_ns() + 60 * second_ns;
    while (!meter.settled() && !stop_flag.load() && steady_ns() < give_up) {
        sleep_ms(10);
        meter.settle(threads.thread_hashes(), steady_ns());
    }
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
    BenchMeter meter(threads.thread_hashes(), steady_ns());
    auto publish = [&] {
        const std::uint64_t uptime_s = (steady_ns() - uptime_start) / second_ns;
        board.publish(
            hashing_snapshot(setup, plan, threads, sampler.rates(), uptime_s, read_cpu_temperature(plan.sensor_root)));
    };
    publish();
    const auto seconds = static_cast<std::uint64_t>(plan.bench_seconds);
    while (!stop_flag.load()) {
        sampler.next_second();
        publish();
        if (sampler.ring().samples() >= seconds) {
            settle_bench(meter, threads);
            log_line(colours.bold, "bench", format_bench_line(plan.threads, meter.rate(), plan.bench_seconds));
            break;
        }
    }
    threads.stop_and_join();
    return 0;
}

int run_mining(const Setup& setup, const MiningPlan& plan, const Options& start, StatusService& service,
               const Reread& reread) {
    ShareCounters shares;
    Pool pool;
    pool.set_callbacks([](const std::string& text) { log_line(colours.grey, "net  ", text); },
                       [&shares](bool accepted, const std::string& reason) { record_share(shares, accepted, reason); });
    const Config config = pool_config(plan);
    ReconnectCount reconnects;
    reconnects.before_start(pool.connection_number());
    pool.start(config);

    PauseControl pause;
    MiningThreads threads;
    const std::uint64_t uptime_start = steady_ns();
    if (const Outcome<Done> started = start_and_check(threads, setup, plan, &pool, &shares, pause.hold_flag());
        !started) {
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
    Steering steering(start, pause, reread, reload_targets(fee, service, plan));
    const ControlAttached attached(service, pause);
    Sampler sampler(threads);
    auto publish = [&](const std::optional<double>& celsius) {
        MinerSnapshot snapshot = hashing_snapshot(setup, plan, threads, sampler.rates(),
                                                  (steady_ns() - uptime_start) / second_ns, celsius);
        add_pool_facts(snapshot, pool, reconnects.total(pool.connection_number()), fee.in_fee());
        add_share_facts(snapshot, shares);
        add_pause_facts(snapshot, pause.paused(), pause.thermal_pauses());
        service.board().publish(std::move(snapshot));
    };
    publish(read_cpu_temperature(plan.sensor_root));
    HardwareErrorWatch hw_watch;
    const std::uint64_t fee_clock_start = steady_ns();
    while (!stop_flag.load()) {
        sampler.next_second([&steering] { steering.each_step(); });
        fee.tick((steady_ns() - fee_clock_start) / second_ns);
        const std::optional<double> celsius = read_cpu_temperature(plan.sensor_root);
        steering.each_second(celsius);
        publish(celsius);
        if (hw_watch.tick(steady_ns() / second_ns, shares.hw_errors.load()))
            log_line(colours.red, "hw   ", unstable_machine_warning());
        if (sampler.ring().samples() % 10 == 0) report_speed(plan, *service.board().latest());
    }

    stop_flag.exchange(true);
    pool.stop();
    threads.stop_and_join();
    console_write("\n shutdown requested — clean exit\n");
    return 0;
}

}  // namespace nolu::qxt
