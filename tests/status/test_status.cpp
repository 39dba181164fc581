// What the status server says: the Prometheus text (checked by promtool),
// the JSON summary, the routes over the board, and the counts behind them
// (per-thread rates, reconnects, UTF-8 repair).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/hash_rates.hpp"
#include "status/metrics_text.hpp"
#include "status/service.hpp"
#include "app/status_snapshot.hpp"
#include "status/summary_json.hpp"
#include "common/utf8.hpp"
#include "common/json.hpp"
#include "tests/support/process.hpp"

using namespace nolu::qxt;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string nasty_worker = "rig \"1\"\n\\x\xff";

MinerSnapshot mining_snapshot() {
    MinerSnapshot s;
    s.version = "v1.0.2";
    s.engine = "avx512";
    s.mode = "mining";
    s.threads = 2;
    s.uptime_s = 3610;
    s.hashes = 9000;
    s.rates = {2.6, 2.5, 2.25};
    s.per_thread = {{4600, {1.3, 1.25, 1.125}}, {4400, {1.3, 1.25, 1.125}}};
    s.accepted = 14;
    s.rejected = 1;
    s.blocks_found = 2;
    s.hw_errors = 5;
    s.arenas_2m = 1;
    s.arenas_thp = 1;
    PoolFacts pool;
    pool.in_use = "pool.example:3358";
    pool.worker = nasty_worker;
    pool.connected = true;
    pool.reconnects = 3;
    pool.job_height = 4242;
    pool.job_difficulty = 8;
    pool.role = "backup";
    s.pool = pool;
    s.fee_active = true;
    s.start_time_s = 1796000000;
    s.last_accepted_s = 1796003600;
    s.rejected_by_reason = {{"stale", 1}, {"other", 0}};
    s.paused = true;
    s.thermal_pauses = 4;
    s.temperature_c = 71.5;
    return s;
}

MinerSnapshot bench_snapshot() {
    MinerSnapshot s = mining_snapshot();
    s.mode = "bench";
    s.pool.reset();
    s.accepted = s.rejected = 0;
    s.fee_active = false;
    s.temperature_c.reset();
    return s;
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// Runs promtool check metrics on text; its output, or a note why it could not run.
test::ProcessResult promtool_check(const std::string& text) {
    const fs::path file = fs::temp_directory_path() / ("qxt-metrics-" + std::to_string(getpid()) + ".txt");
    std::ofstream(file) << text;
    test::ProcessResult r = test::run_process(
        {"/bin/sh", "-c", std::string(QXT_PROMTOOL) + " check metrics < " + file.string()}, 30s);
    fs::remove(file);
    return r;
}

}  // namespace

TEST(MetricsText, EveryFamilyAndSampleAsScrapersReadThem) {
    const std::string text = format_metrics(mining_snapshot());
    for (const char* line : {
             "korven_qxt_build_info{version=\"v1.0.2\",engine=\"avx512\"} 1",
             "korven_qxt_hashes_total 9000",
             "korven_qxt_thread_hashes_total{thread=\"1\"} 4400",
             "korven_qxt_hashrate{window=\"10s\"} 2.6000",
             "korven_qxt_hashrate{window=\"60s\"} 2.5000",
             "korven_qxt_hashrate{window=\"15m\"} 2.2500",
             "korven_qxt_thread_hashrate{thread=\"0\",window=\"15m\"} 1.1250",
             "korven_qxt_shares_total{result=\"accepted\"} 14",
             "korven_qxt_shares_total{result=\"rejected\"} 1",
             "korven_qxt_shares_rejected_total{reason=\"stale\"} 1",
             "korven_qxt_shares_rejected_total{reason=\"other\"} 0",
             "korven_qxt_last_share_accepted_timestamp_seconds 1796003600",
             "process_start_time_seconds 1796000000",
             "korven_qxt_cpu_temperature_celsius 71.5000",
             "korven_qxt_paused 1",
             "korven_qxt_thermal_pauses_total 4",
             "korven_qxt_blocks_found_total 2",
             "korven_qxt_hw_errors_total 5",
             "korven_qxt_threads 2",
             "korven_qxt_uptime_seconds 3610",
             "korven_qxt_arenas{pages=\"1g\"} 0",
             "korven_qxt_arenas{pages=\"2m\"} 1",
             "korven_qxt_arenas{pages=\"thp\"} 1",
             "korven_qxt_pool_connected 1",
             "korven_qxt_pool_reconnects_total 3",
             "korven_qxt_job_height 4242",
             "korven_qxt_job_difficulty 8",
             "korven_qxt_pool_info{pool=\"pool.example:3358\",worker=\"rig \\\"1\\\"\\n\\\\x\xEF\xBF\xBD\",tls=\"false\","
             "role=\"backup\"} 1",
             "korven_qxt_fee_active 1",
             "# TYPE korven_qxt_hashes_total counter",
             "# TYPE korven_qxt_hashrate gauge",
         })
        EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;

    // Every sample belongs to the family announced by the # HELP and # TYPE lines above it.
    std::string family;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t eol = text.find('\n', at);
        ASSERT_NE(eol, std::string::npos);
        const std::string line = text.substr(at, eol - at);
        at = eol + 1;
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            const std::size_t next = text.find('\n', at);
            EXPECT_EQ(text.substr(at, next - at).rfind("# TYPE " + family + " ", 0), 0u) << line;
            continue;
        }
        if (line.rfind("# ", 0) == 0) continue;
        EXPECT_EQ(line.substr(0, line.find_first_of("{ ")), family) << line;
        // Totals and each thread's figures live in families of their own.
        EXPECT_EQ(line.find("thread=") != std::string::npos, family.find("_thread_") != std::string::npos) << line;
    }
}

TEST(MetricsText, BenchmarkHasNoPoolInfo) {
    const std::string text = format_metrics(bench_snapshot());
    EXPECT_EQ(text.find("korven_qxt_pool_info"), std::string::npos);
    EXPECT_EQ(text.find("korven_qxt_cpu_temperature_celsius"), std::string::npos);  // no sensor, no sample
    EXPECT_TRUE(has_line(text, "korven_qxt_pool_connected 0"));
    EXPECT_TRUE(has_line(text, "korven_qxt_fee_active 0"));
}

TEST(MetricsText, PromtoolAcceptsTheText) {
    for (const MinerSnapshot& s : {mining_snapshot(), bench_snapshot()}) {
        const test::ProcessResult r = promtool_check(format_metrics(s));
        EXPECT_EQ(r.status, 0) << "promtool (make test-deps installs it): " << r.out << r.err;
        EXPECT_EQ(r.out + r.err, "");
    }
}

TEST(SummaryJson, OneObjectWithTheSameFacts) {
    const std::string text = format_summary(mining_snapshot());
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    JsonValue v;
    ASSERT_TRUE(json_parse(text, v)) << text;
    EXPECT_EQ(json_string_or(v, "version", ""), "v1.0.2");
    EXPECT_EQ(json_string_or(v, "engine", ""), "avx512");
    EXPECT_EQ(json_string_or(v, "mode", ""), "mining");
    EXPECT_EQ(json_u64_or(v, "threads", 0), 2u);
    EXPECT_EQ(json_u64_or(v, "uptime_s", 0), 3610u);
    EXPECT_EQ(json_find(*json_find(v, "hashrate"), "60s")->text, "2.50");
    const JsonValue* threads = json_find(v, "per_thread");
    ASSERT_EQ(threads->items.size(), 2u);
    EXPECT_EQ(json_u64_or(threads->items[1], "hashes", 0), 4400u);
    EXPECT_EQ(json_find(threads->items[1], "15m")->text, "1.12");
    EXPECT_EQ(json_u64_or(*json_find(v, "shares"), "rejected", 0), 1u);
    EXPECT_EQ(json_u64_or(*json_find(*json_find(v, "shares"), "rejected_by_reason"), "stale", 0), 1u);
    EXPECT_EQ(json_u64_or(*json_find(v, "shares"), "last_accepted_s", 0), 1796003600u);
    EXPECT_EQ(json_u64_or(v, "start_time_s", 0), 1796000000u);
    EXPECT_EQ(json_find(v, "temperature_c")->text, "71.5");
    EXPECT_TRUE(json_find(v, "paused")->boolean);
    EXPECT_EQ(json_u64_or(v, "thermal_pauses", 0), 4u);
    EXPECT_EQ(json_u64_or(v, "blocks_found", 0), 2u);
    EXPECT_EQ(json_u64_or(v, "hw_errors", 0), 5u);
    EXPECT_EQ(json_u64_or(*json_find(v, "pages"), "2m", 9), 1u);
    const JsonValue* pool = json_find(v, "pool");
    EXPECT_EQ(json_string_or(*pool, "url", ""), "pool.example:3358");
    EXPECT_EQ(json_string_or(*pool, "worker", ""), valid_utf8(nasty_worker));
    EXPECT_TRUE(json_find(*pool, "connected")->boolean);
    EXPECT_EQ(json_u64_or(*pool, "job_height", 0), 4242u);
    EXPECT_EQ(json_u64_or(*pool, "difficulty", 0), 8u);
    EXPECT_FALSE(json_find(*pool, "tls")->boolean);
    EXPECT_EQ(json_string_or(*pool, "role", ""), "backup");
    EXPECT_TRUE(json_find(v, "fee_active")->boolean);

    ASSERT_TRUE(json_parse(format_summary(bench_snapshot()), v));
    EXPECT_EQ(json_find(v, "pool")->kind, JsonValue::Kind::null);
    EXPECT_EQ(json_find(v, "temperature_c")->kind, JsonValue::Kind::null);
}

TEST(StatusRoutes, ServiceUnavailableUntilTheFirstSnapshot) {
    StatusBoard board;
    const HttpRoutes routes = status_routes(board);
    EXPECT_EQ(routes("/metrics").status, 503);
    EXPECT_EQ(routes("/summary").status, 503);
    EXPECT_EQ(routes("/").status, 404);
    board.publish(mining_snapshot());
    HttpReply r = routes("/metrics");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.content_type, "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(r.body, format_metrics(mining_snapshot()));
    r = routes("/summary");
    EXPECT_EQ(r.content_type, "application/json");
    EXPECT_EQ(r.body, format_summary(mining_snapshot()));
    EXPECT_EQ(routes("/metrics/").status, 404);
}

TEST(StatusRoutes, PauseAndResumeGoThroughTheAttachedControl) {
    struct Control final : RunControl {
        std::string calls;
        bool request_pause(bool pause, const char* by) override {
            calls += std::string(pause ? "pause " : "resume ") + by + ";";
            return pause;
        }
    } control;
    std::atomic<RunControl*> attached{nullptr};
    const HttpRoutes actions = status_actions(attached);
    EXPECT_EQ(actions("/pause").status, 409);  // starting or benchmarking: nothing to pause
    attached.store(&control);
    EXPECT_EQ(actions("/pause").body, "{\"paused\":true}\n");
    EXPECT_EQ(actions("/resume").body, "{\"paused\":false}\n");
    EXPECT_EQ(actions("/metrics").extra_headers, "Allow: GET, HEAD\r\n");  // a page, not an action
    EXPECT_EQ(actions("/pause/").status, 404);
    EXPECT_EQ(control.calls, "pause HTTP;resume HTTP;");
}

TEST(ReconnectCount, FeeSwitchesAreNotReconnects) {
    ReconnectCount count;
    count.before_start(0);
    EXPECT_EQ(count.total(0), 0u);  // not yet connected
    EXPECT_EQ(count.total(1), 0u);  // the first connection
    EXPECT_EQ(count.total(3), 2u);  // two reconnects
    count.before_start(3);          // the fee switch
    EXPECT_EQ(count.total(3), 2u);
    EXPECT_EQ(count.total(4), 2u);  // the fee connection
    EXPECT_EQ(count.total(5), 3u);
    count.before_start(5);          // back to the user
    count.before_start(5);          // a switch that never connected
    EXPECT_EQ(count.total(6), 3u);
    EXPECT_EQ(count.total(7), 4u);
}

TEST(HashRates, TotalAndEachThread) {
    HashRates rates({4, 6});
    rates.sample({5, 8});
    rates.sample({9, 10});
    EXPECT_DOUBLE_EQ(rates.total().rate(10), 4.5);
    EXPECT_DOUBLE_EQ(rates.thread(0).rate(10), 2.5);
    EXPECT_DOUBLE_EQ(rates.thread(1).rate(1), 2.0);
    EXPECT_EQ(rates.total_hashes(), 19u);
    EXPECT_EQ(rates.thread_hashes(1), 10u);
    rates.sample({10});  // a missing reading counts no hashes
    EXPECT_DOUBLE_EQ(rates.thread(1).rate(1), 0.0);
    EXPECT_EQ(rates.thread_hashes(1), 10u);
}

TEST(Utf8, InvalidBytesBecomeReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(valid_utf8("plain · ‰ — 𝄞"), "plain · ‰ — 𝄞");
    EXPECT_EQ(valid_utf8("a\xff" "b"), "a" + r + "b");
    EXPECT_EQ(valid_utf8("\x80"), r);                   // stray continuation
    EXPECT_EQ(valid_utf8("\xC0\xAF"), r + r);           // overlong '/'
    EXPECT_EQ(valid_utf8("\xED\xA0\x80"), r + r + r);   // surrogate
    EXPECT_EQ(valid_utf8("\xF4\x90\x80\x80"), r + r + r + r);  // past U+10FFFF
    EXPECT_EQ(valid_utf8("x\xE2\x82"), "x" + r + r);    // cut off
}
