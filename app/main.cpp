// korven-qxt: command-line miner for the QXT coin.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/console.hpp"
#include "app/fee.hpp"
#include "app/offline.hpp"
#include "app/options.hpp"
#include "app/stats.hpp"
#include "hash/arena.hpp"
#include "hash/engine.hpp"
#include "hash/index_table.hpp"
#include "hash/side_cache.hpp"
#include "host/cpu_features.hpp"
#include "host/memory.hpp"
#include "host/topology.hpp"
#include "miner/worker.hpp"
#include "pool/pool.hpp"

using namespace nolu::qxt;

namespace {

void on_stop_signal(int) {
    stop_flag.exchange(true);
}

// Sleeps the whole time, resuming after signals.
void sleep_ns(long long ns) {
    timespec left{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint64_t steady_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(now.tv_nsec);
}

std::string host_name_worker() {
    char buffer[64] = "rig";
    gethostname(buffer, 63);
    buffer[63] = '\0';
    return buffer;
}

}  // namespace

int main(int argc, char** argv) {
    // 1-3: command line, colours, banner.
    Options options;
    if (const auto status = parse_options(argc, argv, options)) return *status;
    if (options.color) enable_log_colours();
    print_banner(product_title, product_subtitle, version_text, options.color);

    // 4: signals.
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    std::signal(SIGPIPE, SIG_IGN);

    // 5-6: engine, option rules, index table (and side-cache plan).
    std::string message;
    const auto engine_kind = choose_engine(options.engine, avx512_usable(), avx2_usable(), message);
    if (!engine_kind) {
        log_line(colours.red, "cpu  ", message);
        return 1;
    }
    if (const auto error = check_option_rules(*engine_kind, options)) {
        log_line(colours.red, "cpu  ", *error);
        return 2;
    }
    const bool avx512 = *engine_kind == EngineKind::avx512;
    const Engine engine = avx512 ? engine_avx512 : engine_avx2;
    std::uint32_t side_estimate = 0;
    if (avx512) {
        if (options.side >= 1)
            side_estimate = side_plan(static_cast<std::uint32_t>(options.side),
                                      static_cast<std::uint32_t>(options.side_dist > 0 ? options.side_dist : 0));
        ensure_index_table_avx512();
    } else {
        build_index_table_avx2();
    }

    // 7: topology.
    const Topology topology = scan_topology();
    const int cores = static_cast<int>(topology.cpus.size());

    // 8: verification mode.
    if (!options.verify.empty()) return run_verify(options.verify, engine, verify_passes(avx512, options.skip));

    // 9: an address is needed to mine.
    const bool bench = options.bench > 0;
    if (!bench && options.address.empty()) {
        std::fputs("a QXT payout address is required: -u <address>\n", stderr);
        return 2;
    }

    // 10-11: threads, skip-store, worker name.
    const ThreadChoice choice =
        choose_threads(cores, options.threads, options.skip, options.rebuild, [](std::uint64_t arena) {
            return probe_memory(arena);
        });
    const int thread_count = choice.threads;
    if (options.worker.empty()) options.worker = host_name_worker();

    // 12-16: report.
    const std::string title = format_title_line(thread_count);
    std::fputs(title.c_str(), stdout);
    std::fflush(stdout);
    if (options.side > 0)
        log_line(colours.grey, "side ",
                 "side cache " + std::to_string(options.side) + " slots · " + std::to_string(side_estimate / 10) +
                     "." + std::to_string(side_estimate % 10) + " % of first-half reads served from cache");
    if (skip_permille() != 0)
        log_line(colours.grey, "skip ",
                 "skip-store from " + std::to_string(skip_permille()) + " ‰ · arena " +
                     std::to_string(arena_bytes() >> 20) + " MiB" +
                     (engine_settings.rebuild ? "" : " · PROBE: no rebuild, wrong hashes"));
    log_line(colours.grey, "cpu  ",
             std::string("engine ") + (avx512 ? "avx512" : "avx2") + " · " + std::to_string(cores) +
                 " physical cores · " + std::to_string(topology.l3_groups) + " L3 group(s)");
    if (options.threads <= 0) log_line(colours.grey, "auto ", format_auto_line(thread_count, arena_bytes(), choice.budget));

    // 17-20: pool client.
    PoolEndpoint endpoint;
    split_pool(options.pool, endpoint);
    if (!bench) {
        log_line(colours.grey, "pool ", endpoint.host + ":" + std::to_string(endpoint.port));
        log_line(colours.grey, "user ", options.address + " · worker " + options.worker);
    }
    Config config;
    config.host = endpoint.host;
    config.port = endpoint.port;
    config.address = options.address;
    config.worker = options.worker;
    config.agent = std::string("nolu-korven-qxt/") + version_text;
    config.difficulty_hint = 60LL * thread_count;

    Pool pool;
    ShareCounters shares;
    std::atomic<std::uint64_t> hashes{0};
    pool.on_log = [](const std::string& text) { log_line(colours.grey, "net  ", text); };
    pool.on_share = [&shares](bool accepted, const std::string& reason) { record_share(shares, accepted, reason); };
    if (!bench) pool.start(config);

    // 21: mining threads. A thread the system refuses counts as failed.
    StartupCounters counters;
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(thread_count));
    for (int i = 0; i < thread_count; ++i) {
        WorkerParams params;
        params.index = i;
        params.cpus = &topology.cpus;
        params.counters = &counters;
        params.bench_seconds = options.bench;
        params.engine = engine;
        params.hashes = &hashes;
        params.pool = &pool;
        params.thread_count = thread_count;
        try {
            workers.emplace_back(worker_main, params);
        } catch (const std::system_error&) {
            counters.failed.fetch_add(thread_count - i);
            break;
        }
    }

    // 22-24: wait for the arenas.
    const std::uint64_t uptime_start = steady_ns();
    while (counters.ready.load() + counters.failed.load() < thread_count && !stop_flag.load())
        sleep_ns(100000000LL);
    if (counters.failed.load() > 0)
        log_line(colours.red, "mem  ",
                 std::to_string(counters.failed.load()) + " thread(s) stopped: not enough memory for a 2 GiB arena");
    log_line(colours.grey, "pages",
             std::to_string(counters.huge_1g.load()) + " arena(s) in reserved 1 GiB pages, " +
                 std::to_string(counters.huge.load() - counters.huge_1g.load()) + " in reserved 2 MiB pages, " +
                 std::to_string(counters.ready.load() - counters.huge.load()) + " in transparent huge pages");

    // 25 and the main loop.
    RateRing ring;
    std::uint64_t previous = hashes.load();
    const std::uint64_t fee_clock_start = steady_ns();
    bool in_fee = false;
    while (!stop_flag.load()) {
        sleep_ns(1000000000LL);
        const std::uint64_t now_hashes = hashes.load();
        ring.sample(now_hashes - previous);
        previous = now_hashes;

        if (bench) {
            if (ring.samples() >= static_cast<std::uint64_t>(options.bench)) {
                log_line(colours.bold, "bench",
                         format_bench_line(thread_count, ring.rate(static_cast<std::uint64_t>(options.bench)),
                                           options.bench));
                break;
            }
            continue;
        }

        const bool fee_now = fee_period((steady_ns() - fee_clock_start) / 1000000000ull);
        if (fee_now != in_fee) {
            pool.stop();
            config.address = fee_now ? fee_address : options.address;
            config.worker = fee_now ? fee_worker : options.worker;
            pool.start(config);
            log_line(colours.grey, "fee  ", fee_now ? "1% dev contribution (1 min)" : "back to user wallet");
            in_fee = fee_now;
        }

        if (ring.samples() % 10 == 0) {
            const std::uint64_t accepted = shares.accepted.load();
            const std::uint64_t rejected = shares.rejected.load();
            log_line(colours.grey, "speed", format_speed_line(ring, accepted, rejected));
            if (!options.stats_file.empty())
                write_stats_file(options.stats_file,
                                 format_stats_json(ring.rate(60), accepted, rejected,
                                                   (steady_ns() - uptime_start) / 1000000000ull));
        }
    }

    // Shutdown.
    stop_flag.exchange(true);
    pool.stop();
    for (std::thread& t : workers) t.join();
    if (!bench) {
        std::printf("\n shutdown requested — clean exit\n");
        std::fflush(stdout);
    }
    return 0;
}
