// The real binary steered while it mines against the local test pool, all in
// one run (each run maps a 2 GiB arena): pause and resume over HTTP and by
// signal, the thermal limit on a fake sensor tree, a reload that moves to
// another pool, token and log file, the lowered thread priority, and a stop
// while paused.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/json.hpp"
#include "tests/support/http_client.hpp"
#include "tests/support/process.hpp"
#include "tests/support/test_pool.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr auto npos = std::string::npos;

namespace {

const std::string miner = QXT_BINARY;
const std::string pool_binary = QXT_POOL_BINARY;

fs::path temp_dir() {
    const fs::path dir = fs::temp_directory_path() / ("qxt-steer-e2e-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    fs::create_directories(dir / "sys/class/hwmon/hwmon3");
    return dir;
}

void write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

std::string read(const fs::path& file) {
    std::stringstream s;
    s << std::ifstream(file).rdbuf();
    return s.str();
}

std::string bearer(const std::string& token) { return "Authorization: Bearer " + token + "\r\n"; }

HttpResult post(std::uint16_t port, const std::string& path, const std::string& fields) {
    return http_exchange(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields +
                                   "Content-Length: 0\r\n\r\n");
}

// The hash count of /summary (published once a second); -1 when unreadable.
long long hashes(std::uint16_t port, const std::string& token) {
    const HttpResult r = http_get(port, "/summary", bearer(token));
    JsonValue v;
    if (r.status != 200 || !json_parse(r.body, v)) return -1;
    return static_cast<long long>(json_u64_or(v, "hashes", 0));
}

// Hashing has stopped: once the hash in progress has ended (a fraction of a
// second on an idle machine, longer on a loaded one) the count stays put for
// two seconds running.
void expect_stalled(std::uint16_t port, const std::string& token, const char* why) {
    SCOPED_TRACE(why);
    long long last = hashes(port, token);
    int same = 0;
    for (const auto end = Clock::now() + 10s; Clock::now() < end && same < 2;) {
        std::this_thread::sleep_for(1s);
        const long long now = hashes(port, token);
        same = now == last ? same + 1 : 0;
        last = now;
    }
    EXPECT_EQ(same, 2) << "the hash count still grows";
}

// Hashing goes on: the count grows within a few hashes' time.
bool counts_on(std::uint16_t port, const std::string& token) {
    const long long before = hashes(port, token);
    for (const auto end = Clock::now() + 20s; Clock::now() < end; std::this_thread::sleep_for(250ms))
        if (hashes(port, token) > std::max(before, 0LL)) return true;
    return false;
}

// Nice values of the process's threads other than the main one.
std::vector<int> thread_nice_values(pid_t pid) {
    std::vector<int> values;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        if (task.path().filename() == std::to_string(pid)) continue;
        const std::string stat = read(task.path() / "stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        for (int i = 3; i <= 19 && fields >> field; ++i) {  // field 19: nice
        }
        values.push_back(std::atoi(field.c_str()));
    }
    return values;
}

std::string settings(const std::string& pool, const std::string& token, const fs::path& log, int threads) {
    return "{\"pool\": \"" + pool + "\", \"user\": \"QXsteer\", \"http-token\": \"" + token + "\", \"log-file\": \"" +
           log.string() + "\", \"threads\": " + std::to_string(threads) + "}";
}

}  // namespace

TEST(SteeringEndToEnd, PauseResumeThermalReloadAndStopWhilePaused) {
    const fs::path dir = temp_dir();
    TestPool pool_a(pool_binary, dir / "a", {"--job-every", "0"});
    TestPool pool_b(pool_binary, dir / "b", {"--job-every", "0"});
    ASSERT_TRUE(pool_a.port() > 0 && pool_b.port() > 0);
    const fs::path hwmon = dir / "sys/class/hwmon/hwmon3";
    write(hwmon / "name", "k10temp\n");
    write(hwmon / "temp1_input", "50000\n");
    const fs::path config = dir / "rig.json";
    write(config, settings(pool_a.endpoint(), "tok1", dir / "one.log", 1));

    // One lane: a hash counter that moves with every hash.
    Process m({miner, "--no-color", "-c", config.string(), "--no-self-test", "--lanes", "1", "--http", "127.0.0.1:0",
               "--max-temp", "80", "--cpu-priority", "1"},
              {"QXT_SENSOR_ROOT=" + dir.string()});
    const std::string prefix = " http  metrics at http://127.0.0.1:";
    ASSERT_TRUE(m.wait_for_output(prefix, 30s)) << m.out();
    const auto port = static_cast<std::uint16_t>(std::atoi(m.out().c_str() + m.out().find(prefix) + prefix.size()));
    ASSERT_TRUE(counts_on(port, "tok1")) << m.out();
    // The mining thread runs at a lower priority (nice 2), the rest as they were.
    const std::vector<int> nice = thread_nice_values(m.pid());
    EXPECT_EQ(std::count(nice.begin(), nice.end(), 2), 1) << ::testing::PrintToString(nice);
    EXPECT_EQ(std::count(nice.begin(), nice.end(), 0), static_cast<long>(nice.size()) - 1);

    // Over HTTP: only with the token, even on loopback.
    EXPECT_EQ(post(port, "/pause", "").status, 401);
    EXPECT_EQ(http_get(port, "/pause", bearer("tok1")).status, 405);
    EXPECT_EQ(post(port, "/pause", bearer("tok1")).body, "{\"paused\":true}\n");
    EXPECT_TRUE(m.wait_for_output(" pause hashing paused (HTTP request); arenas and pool connection kept\n", 5s));
    expect_stalled(port, "tok1", "paused over HTTP");
    EXPECT_EQ(post(port, "/resume", bearer("tok1")).body, "{\"paused\":false}\n");
    EXPECT_TRUE(counts_on(port, "tok1"));

    // By signal.
    m.signal(SIGUSR1);
    EXPECT_TRUE(m.wait_for_output(" pause hashing paused (SIGUSR1 request)", 5s)) << m.out();
    expect_stalled(port, "tok1", "paused by SIGUSR1");
    m.signal(SIGUSR2);
    EXPECT_TRUE(m.wait_for_output(" pause hashing resumed (SIGUSR2 request)\n", 5s)) << m.out();
    EXPECT_TRUE(counts_on(port, "tok1"));

    // The thermal limit: paused at 80 °C, still at 76, resumed at 75.
    write(hwmon / "temp1_input", "85000\n");
    EXPECT_TRUE(m.wait_for_output(" temp  CPU at 85 °C, limit 80 °C: hashing paused until 75 °C\n", 5s)) << m.out();
    write(hwmon / "temp1_input", "76000\n");
    expect_stalled(port, "tok1", "paused by the thermal limit");
    write(hwmon / "temp1_input", "75000\n");
    EXPECT_TRUE(m.wait_for_output(" temp  CPU cooled to 75 °C: hashing resumed\n", 5s)) << m.out();
    EXPECT_TRUE(counts_on(port, "tok1"));
    // Pauses and resumes left the pool connection alone.
    EXPECT_EQ(m.out().find("connection lost"), npos) << m.out();

    // A reload: another pool, token and log file apply; the thread count waits for a restart.
    write(config, settings(pool_b.endpoint(), "tok2", dir / "two.log", 2));
    m.signal(SIGHUP);
    EXPECT_TRUE(m.wait_for_output(" conf  restart to apply --threads (the running values stay)\n", 5s)) << m.out();
    EXPECT_NE(m.out().find(" conf  reloaded " + config.string() + ": log file, HTTP token, pools applied\n"), npos);
    EXPECT_TRUE(m.wait_for_output("connected to " + pool_b.endpoint(), 10s)) << m.out();
    EXPECT_EQ(http_get(port, "/summary", bearer("tok1")).status, 401);
    EXPECT_TRUE(counts_on(port, "tok2"));
    EXPECT_NE(read(dir / "two.log").find("reloaded"), npos);
    EXPECT_EQ(read(dir / "one.log").find("reloaded"), npos);
    EXPECT_NE(read(dir / "one.log").find("hashing paused (SIGUSR1 request)"), npos);

    // Paused, it still stops within about two seconds.
    EXPECT_EQ(post(port, "/pause", bearer("tok2")).status, 200);
    expect_stalled(port, "tok2", "paused before the stop");
    const auto t0 = Clock::now();
    m.signal(SIGTERM);
    const ProcessResult end = m.wait(10s);
    EXPECT_LT(Clock::now() - t0, 2500ms);
    EXPECT_EQ(end.status, 0) << end.out << end.err;
    fs::remove_all(dir);
}
