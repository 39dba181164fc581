// The real binary's status server, mining on one thread against the test
// pool (every hash a share) with a fake temperature sensor: its metrics pass
// promtool, a real Prometheus scrapes them with a bearer token, the total
// and the threads' sum agree there, every panel of the shipped Grafana
// dashboard gets data, idle connections do not lock a scrape out, and a
// request that arrives while the miner stops neither hangs nor delays the
// exit.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/json.hpp"
#include "tests/support/http_client.hpp"
#include "tests/support/process.hpp"
#include "tests/support/test_pool.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const std::string& miner = miner_binary();
const std::string pool_binary = QXT_POOL_BINARY;
const std::string token = "e2e-t0ken";
const std::string auth = "Authorization: Bearer " + token + "\r\n";

fs::path temp_dir() {
    const fs::path dir = fs::temp_directory_path() / ("qxt-http-e2e-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// A port of 127.0.0.1 that was free a moment ago.
std::uint16_t free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string url_encode(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || c == '_' || c == '-' || c == '.') {
            out += c;
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

// Polls the miner until /metrics answers 200 (503 until the first snapshot).
HttpResult wait_for_metrics(std::uint16_t port) {
    HttpResult r;
    for (const auto end = Clock::now() + 60s; Clock::now() < end; std::this_thread::sleep_for(200ms)) {
        r = http_get(port, "/metrics", auth);
        if (r.status == 200) break;
    }
    return r;
}

// The values of the query's result vector, once Prometheus has any.
std::vector<double> query_prometheus(std::uint16_t port, const std::string& query) {
    const HttpResult r = http_exchange(port, "GET /api/v1/query?query=" + url_encode(query) + " HTTP/1.0\r\n\r\n");
    JsonValue v;
    std::vector<double> values;
    if (r.status != 200 || !json_parse(r.body, v)) return values;
    const JsonValue* data = json_find(v, "data");
    const JsonValue* result = data ? json_find(*data, "result") : nullptr;
    if (result == nullptr) return values;
    for (const JsonValue& series : result->items) {
        const JsonValue* value = json_find(series, "value");
        if (value != nullptr && value->items.size() == 2)
            values.push_back(std::strtod(value->items[1].text.c_str(), nullptr));
    }
    return values;
}

// Every query of the dashboard's panels, with its title.
std::vector<std::pair<std::string, std::string>> dashboard_queries(const fs::path& file) {
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    JsonValue dashboard;
    std::vector<std::pair<std::string, std::string>> queries;
    if (!json_parse(text, dashboard)) return queries;
    for (const JsonValue& panel : json_find(dashboard, "panels")->items)
        for (const JsonValue& target : json_find(panel, "targets")->items)
            queries.emplace_back(json_string_or(panel, "title", ""), json_string_or(target, "expr", ""));
    return queries;
}

// What Grafana puts in for the variables: this job and rig, and time ranges.
std::string substitute(std::string query, const std::string& rig) {
    const std::pair<std::string, std::string> values[] = {
        {"$__rate_interval", "1m"}, {"$__range", "1h"}, {"$job", "korven-qxt"}, {"$rig", rig}};
    for (const auto& [name, value] : values)
        for (std::size_t at = query.find(name); at != std::string::npos; at = query.find(name, at + value.size()))
            query.replace(at, name.size(), value);
    return query;
}

// A /sys tree with one processor sensor at 55.5 degrees.
void write_sensor(const fs::path& root) {
    fs::create_directories(root / "sys/class/hwmon/hwmon0");
    std::ofstream(root / "sys/class/hwmon/hwmon0/name") << "k10temp\n";
    std::ofstream(root / "sys/class/hwmon/hwmon0/temp1_input") << "55500\n";
}

void write_prometheus_config(const fs::path& file, std::uint16_t miner_port) {
    std::ofstream(file) << "global:\n"
                           "  scrape_interval: 1s\n"
                           "  scrape_timeout: 1s\n"
                           "scrape_configs:\n"
                           "  - job_name: korven-qxt\n"
                           "    authorization:\n"
                           "      credentials: "
                        << token << "\n    static_configs:\n      - targets: [\"127.0.0.1:" << miner_port << "\"]\n";
}

}  // namespace

TEST(HttpEndToEnd, PrometheusScrapesTheMinerAndItStopsCleanly) {
    const fs::path dir = temp_dir();
    write_sensor(dir / "root");
    // Shares are accepted unchecked: the pool takes no processor time from the miner.
    TestPool pool(pool_binary, dir, {"--target", std::string(64, 'f'), "--job-every", "0", "--check-queue", "0"});
    ASSERT_NE(pool.port(), 0);
    // Every hash is a share: without the re-check the stop waits for one hash only.
    Process m({miner, "--no-color", "-o", pool.endpoint(), "-u", "QXaddr", "-w", "e2e", "-t", "1", "--lanes", "1", "--no-recheck",
               "--http", "127.0.0.1:0", "--http-token", token},
              {"QXT_SENSOR_ROOT=" + (dir / "root").string()});
    // " http  metrics at http://127.0.0.1:<port>/metrics, summary at ..." (port 0: the system chose).
    const std::string prefix = " http  metrics at http://127.0.0.1:";
    ASSERT_TRUE(m.wait_for_output("/summary (bearer token required)\n", 30s)) << m.out();
    const std::string out = m.out();
    const char* digits = out.c_str() + out.find(prefix) + prefix.size();
    const auto port = static_cast<std::uint16_t>(std::strtoul(digits, nullptr, 10));
    const std::string p = std::to_string(port);
    EXPECT_NE(out.find(prefix + p + "/metrics, summary at http://127.0.0.1:" + p +
                       "/summary (bearer token required)\n"),
              std::string::npos)
        << out;

    // The token guards everything; the metrics pass promtool.
    EXPECT_EQ(http_get(port, "/metrics").status, 401);
    const HttpResult metrics = wait_for_metrics(port);
    ASSERT_EQ(metrics.status, 200) << metrics.head << metrics.body;
    EXPECT_EQ(http_field(metrics, "Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    std::ofstream(dir / "metrics.txt") << metrics.body;
    const ProcessResult check =
        run_process({"/bin/sh", "-c", std::string(QXT_PROMTOOL) + " check metrics < " + (dir / "metrics.txt").string()},
                    30s);
    EXPECT_EQ(check.status, 0) << check.out << check.err << metrics.body;
    EXPECT_NE(metrics.body.find("\nkorven_qxt_threads 1\n"), std::string::npos) << metrics.body;

    JsonValue summary;
    ASSERT_TRUE(json_parse(http_get(port, "/summary", auth).body, summary));
    EXPECT_EQ(json_string_or(summary, "mode", ""), "mining");
    EXPECT_EQ(json_find(summary, "temperature_c")->text, "55.5");
    ASSERT_EQ(json_find(summary, "pool")->kind, JsonValue::Kind::object);
    EXPECT_EQ(json_string_or(*json_find(summary, "pool"), "url", ""), pool.endpoint());
    EXPECT_EQ(json_string_or(*json_find(summary, "pool"), "role", ""), "primary");
    EXPECT_EQ(http_get(port, "/", auth).status, 404);
    EXPECT_EQ(http_exchange(port, "POST /metrics HTTP/1.1\r\nHost: a\r\n" + auth + "\r\n").status, 405);

    // A real Prometheus scrapes it (with the token) until the hash rate and
    // every panel of the dashboard show.
    const std::uint16_t prometheus_port = free_port();
    write_prometheus_config(dir / "prometheus.yml", port);
    const auto panels = dashboard_queries(QXT_DASHBOARD);
    ASSERT_GE(panels.size(), 10u);
    {
        Process prometheus({QXT_PROMETHEUS, "--config.file=" + (dir / "prometheus.yml").string(),
                            "--storage.tsdb.path=" + (dir / "data").string(),
                            "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)});
        const std::string rig = "127.0.0.1:" + p;
        auto without_data = [&] {
            std::vector<std::string> missing;
            for (const auto& [title, query] : panels)
                if (query_prometheus(prometheus_port, substitute(query, rig)).empty())
                    missing.push_back(title + ": " + substitute(query, rig));
            return missing;
        };
        // The total has no thread label: one series per window.
        const std::string query = "korven_qxt_hashrate{job=\"korven-qxt\",window=\"10s\"}";
        std::vector<double> rates;
        std::vector<std::string> missing;
        for (const auto end = Clock::now() + 60s; Clock::now() < end; std::this_thread::sleep_for(500ms)) {
            rates = query_prometheus(prometheus_port, query);
            if (!rates.empty() && rates[0] > 0 && (missing = without_data()).empty()) break;
        }
        ASSERT_EQ(rates.size(), 1u) << prometheus.out();
        EXPECT_GT(rates[0], 0.0);
        for (const std::string& panel : missing) ADD_FAILURE() << "no data for " << panel;
        EXPECT_EQ(query_prometheus(prometheus_port, "up{job=\"korven-qxt\"}"), std::vector<double>{1.0});
        EXPECT_EQ(query_prometheus(prometheus_port,
                                   "korven_qxt_hashes_total - on(instance, job) sum by (instance, job) "
                                   "(korven_qxt_thread_hashes_total)"),
                  std::vector<double>{0.0});
        prometheus.signal(SIGTERM);
        prometheus.wait(20s);
    }

    // More idle connections than the server keeps: a scrape still gets through.
    std::vector<int> idle;
    for (int i = 0; i < 40; ++i) idle.push_back(connect_loopback(port));
    EXPECT_EQ(http_get(port, "/metrics", auth).status, 200);

    // A half-sent request, then the stop, then a whole request.
    const int half = connect_loopback(port);
    ASSERT_TRUE(send_all(half, "GET /metrics HTTP/1.1\r\nHost: a\r\n"));
    const auto stop = Clock::now();
    m.signal(SIGTERM);
    const HttpResult during = http_get(port, "/summary", auth, 5s);
    EXPECT_TRUE(during.status == 200 || during.status == 0) << during.head;
    EXPECT_TRUE(during.closed);
    const ProcessResult r = m.wait(10s);
    EXPECT_LT(Clock::now() - stop, 3s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // The server went with the miner: its connections are closed, not left hanging.
    EXPECT_TRUE(read_until_closed(half, 1s).closed);
    ::close(half);
    for (const int fd : idle)
        if (fd >= 0) ::close(fd);
    fs::remove_all(dir);
}
