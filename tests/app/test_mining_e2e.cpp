// The real binary mining against the local test pool on loopback, one thread
// each: start-up report, login, verified shares, verdicts, new jobs,
// reconnects, signals and the statistics file. The start-up test runs the
// automatic lane count; the others one lane, which reaches its first share
// soonest and leaves the memory to the test running beside it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.hpp"
#include "tests/support/test_pool.hpp"

using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string& miner = miner_binary();
const std::string pool_binary = QXT_POOL_BINARY;

fs::path temp_dir(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("qxt-e2e-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Waits until the output holds `what` n times.
bool wait_for_count(Process& p, const std::string& what, std::size_t n, std::chrono::milliseconds limit) {
    return p.wait_for([&](const std::string& out) { return count(out, what) >= n; }, limit);
}

// {"hashrate_hs":D.DD,"accepted":N,"rejected":0,"uptime_s":N,"version":"v1.0.2","algo":"argon2id-qxt","hw_errors":0,
//  "threads":1,"thread_hs":[D.DD],"pool":"127.0.0.1:N","pool_connected":true,"pool_tls":false,"paused":false}
bool stats_line_shape(const std::string& line) {
    std::size_t at = 0;
    auto literal = [&](const std::string& text) {
        if (line.compare(at, text.size(), text) != 0) return false;
        at += text.size();
        return true;
    };
    auto digits = [&](std::size_t exactly = 0) {
        const std::size_t start = at;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
        return at > start && (exactly == 0 || at - start == exactly);
    };
    return literal("{\"hashrate_hs\":") && digits() && literal(".") && digits(2) && literal(",\"accepted\":") &&
           digits() && literal(",\"rejected\":0,\"uptime_s\":") && digits() &&
           literal(",\"version\":\"v1.0.2\",\"algo\":\"argon2id-qxt\",\"hw_errors\":0,\"threads\":1,\"thread_hs\":[") &&
           digits() && literal(".") && digits(2) && literal("],\"pool\":\"127.0.0.1:") && digits() &&
           literal("\",\"pool_connected\":true,\"pool_tls\":false,\"paused\":false}") && at == line.size();
}

// A line "<head>N s<tail>" whose N is the first back-off step, 5 s, with
// the ±20 % jitter: 4, 5 or 6.
bool has_retry_line(const std::string& out, const std::string& head, const std::string& tail) {
    for (const char* seconds : {"4", "5", "6"})
        if (out.find(head + seconds + " s" + tail + "\n") != std::string::npos) return true;
    return false;
}

std::string ones(char digit, int n = 64) {
    return std::string(static_cast<std::size_t>(n), digit);
}

// Sends a signal and expects a clean exit within about two seconds; returns
// the seconds it took.
double expect_clean_stop(Process& m, int sig) {
    const auto t0 = std::chrono::steady_clock::now();
    m.signal(sig);
    const ProcessResult r = m.wait(10s);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_LT(took, 3s);  // about two seconds, with room for a loaded test machine
    const std::string last = "\n\n shutdown requested — clean exit\n";
    const double seconds = std::chrono::duration<double>(took).count();
    EXPECT_GE(r.out.size(), last.size());
    if (r.out.size() >= last.size()) {
        EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last) << r.out;
    }
    return seconds;
}

// A listener on 127.0.0.1 that accepts and says nothing, or (full) whose
// accept queue is full, so connects to it get no answer at all.
class SilentListener {
public:
    explicit SilentListener(bool full) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, full ? 0 : 16);
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        for (int i = 0; full && i < 8; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers_.push_back(filler);
        }
    }
    ~SilentListener() {
        for (const int fd : fillers_) ::close(fd);
        ::close(fd_);
    }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

}  // namespace

TEST(MiningEndToEnd, SharesJobsBlocksStatsAndSigint) {
    const fs::path dir = temp_dir("main");
    // Every hash is a share and a block candidate; a new job every 6 s.
    TestPool pool(pool_binary, dir, {"--target", ones('f'), "--network-target", ones('f'), "--job-every", "6", "--height", "4242",
                        "--nonce-start", "100", "--check-queue", "1"});
    const std::string stats = (dir / "stats.json").string();
    Process m({miner, "--no-color", "-o", pool.endpoint(), "-u", "QXaddr\"quoted", "-w", "rig-1", "-t", "1",
               "--stats-file", stats});

    ASSERT_TRUE(m.wait_for_output(" speed ", 60s)) << m.out();
    ASSERT_TRUE(m.wait_for_output("new job — height 4243", 30s)) << m.out();
    // A later job restarts the walk at its nonce_start (hashes of a job may all
    // land after the next one arrived, so any later job will do).
    ASSERT_TRUE(wait_for_count(pool.process(), " nonce=100 ", 2, 60s)) << pool.process().out();
    ASSERT_TRUE(pool.process().wait_for_output("verified OK", 60s)) << pool.process().out();
    ASSERT_TRUE(m.wait_for_output("accepted (2/0)", 30s)) << m.out();

    // The file is written just after the speed line is logged: the first
    // one may still be on its way when everything above is already seen.
    std::string line;
    for (int i = 0; i < 100 && line.empty(); ++i) {
        if (i > 0) std::this_thread::sleep_for(100ms);
        std::getline(std::ifstream(stats), line);
    }
    EXPECT_TRUE(stats_line_shape(line)) << line;
    EXPECT_FALSE(fs::exists(stats + ".tmp"));

    expect_clean_stop(m, SIGINT);
    const std::string out = m.out();

    // Start-up report in order.
    const std::size_t title = out.find(" NOLU KORVEN QXT v1.0.2  Argon2id 2 GiB · 1 thread · 1% dev fee\n");
    const std::size_t cpu = out.find("\n cpu   engine ");
    const std::size_t pool_line = out.find("\n pool  " + pool.endpoint() + "\n");
    const std::size_t user = out.find("\n user  QXaddr\"quoted · worker rig-1\n");
    // One arena per lane, as many as the automatic lane count chose.
    const std::size_t lanes_line = out.find(" nonces per thread at once");
    const std::string arenas = lanes_line == std::string::npos ? "1" : out.substr(lanes_line - 1, 1);
    const std::size_t pages = out.find(std::string("\n pages 0 arena(s) in reserved 1 GiB pages, 0 in reserved 2 MiB ") +
                                       "pages, " + arenas + " in transparent huge pages\n");
    ASSERT_NE(title, std::string::npos) << out;
    EXPECT_LT(title, cpu);
    EXPECT_LT(cpu, pool_line);
    EXPECT_LT(pool_line, user);
    EXPECT_NE(pages, std::string::npos) << out;
    // The self-test passed before any share: its line follows the pages line.
    const std::size_t check = out.find("\n check self-test passed on 1 thread · engine ");
    EXPECT_NE(check, std::string::npos) << out;
    EXPECT_LT(pages, check);
    EXPECT_LT(check, out.find(" share accepted"));
    EXPECT_EQ(out.find(" hw "), std::string::npos);
    EXPECT_EQ(out.find("   hw "), std::string::npos);
    EXPECT_EQ(out.find(" auto "), std::string::npos);  // -t given
    EXPECT_NE(out.find(" net   connected to " + pool.endpoint() + "\n"), std::string::npos);
    // The job comes with the login's answer; the start-up lines of the main
    // thread may fall between the two lines.
    const std::size_t first_job = out.find(" net   new job — height 4242, difficulty 8\n");
    EXPECT_NE(first_job, std::string::npos) << out;
    const std::size_t logged_in = out.find(" net   logged in\n");
    EXPECT_NE(logged_in, std::string::npos) << out;
    EXPECT_LT(first_job, logged_in) << out;
    EXPECT_NE(out.find(" block candidate found at height 424"), std::string::npos);
    EXPECT_NE(out.find(" speed 10s/60s/15m  "), std::string::npos);

    // The login line exactly as the pool received it (escaped address, hint 60 × 1).
    const std::string pool_out = pool.process().out();
    EXPECT_NE(pool_out.find("recv {\"id\":1,\"method\":\"login\",\"params\":{\"address\":\"QXaddr\\\"quoted\","
                            "\"worker\":\"rig-1\",\"protocol_version\":2,\"capabilities\":[\"submit_claimed_hash\","
                            "\"difficulty_hint\"],\"difficulty_hint\":60}}\n"),
              std::string::npos)
        << pool_out;
    // The first share: the walk starts at nonce_start, submission ids at 2.
    // On a loaded machine the first job may be replaced before its first hash
    // ends (self-test, faulting in the arena), so any job will do.
    const std::string first = "recv {\"id\":2,\"method\":\"submit\",\"params\":{\"job_id\":\"job-";
    const std::size_t at = pool_out.find(first);
    ASSERT_NE(at, std::string::npos) << pool_out;
    const std::string nonce = "\",\"nonce\":100,";
    EXPECT_EQ(pool_out.substr(pool_out.find('"', at + first.size()), nonce.size()), nonce) << pool_out;
    EXPECT_EQ(count(pool_out, "WRONG HASH"), 0u);
    fs::remove_all(dir);
}

TEST(MiningEndToEnd, RejectedVerdictsReconnectAndSigterm) {
    const fs::path dir = temp_dir("reject");
    TestPool pool(pool_binary, dir, {"--target", ones('f'), "--reject", "stale", "--close-after-shares", "2", "--job-every", "0"});
    const std::string stats = (dir / "missing" / "stats.json").string();
    Process m({miner, "--no-color", "-o", pool.endpoint(), "-u", "QXaddr", "-t", "1", "--lanes", "1", "--stats-file", stats});

    ASSERT_TRUE(m.wait_for_output(" share REJECTED — stale\n", 60s)) << m.out();
    // 5 s with up to 20 % jitter either way.
    ASSERT_TRUE(m.wait_for([](const std::string& out) { return has_retry_line(out, " net   connection lost, reconnecting in ", ""); }, 60s)) << m.out();
    const auto lost = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_for_count(m, " share REJECTED — stale\n", 3, 60s)) << m.out();
    EXPECT_GT(std::chrono::steady_clock::now() - lost, 4s);  // waited before reconnecting
    ASSERT_TRUE(m.wait_for_output(" speed ", 30s));

    expect_clean_stop(m, SIGTERM);
    const std::string out = m.out();
    EXPECT_EQ(count(out, " net   connected to " + pool.endpoint() + "\n"), 2u) << out;
    EXPECT_NE(out.find("parts 0/"), std::string::npos);
    // A statistics path in a missing folder: no file, no message.
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_EQ(out.find("stats"), std::string::npos);
    EXPECT_EQ(m.wait(1s).err, "");
    fs::remove_all(dir);
}

TEST(MiningEndToEnd, SigintWhileThePoolIsUnreachable) {
    // Port 1 on loopback refuses connections.
    Process m({miner, "--no-color", "-o", "127.0.0.1:1", "-u", "QXaddr", "-t", "1", "--lanes", "1"});
    ASSERT_TRUE(m.wait_for([](const std::string& out) {
        return has_retry_line(out, " net   cannot reach 127.0.0.1:1, retry in ", " (connection refused)");
    }, 30s)) << m.out();
    ASSERT_TRUE(m.wait_for_output(" pages ", 30s)) << m.out();
    std::this_thread::sleep_for(1500ms);
    std::printf("[measure] real binary: stop while waiting to retry %.2f s\n", expect_clean_stop(m, SIGINT));
}

TEST(MiningEndToEnd, SigintWhileConnectingAndWhileWaitingForAJob) {
    for (const bool full : {true, false}) {
        SilentListener pool(full);
        Process m({miner, "--no-color", "-o", pool.endpoint(), "-u", "QXaddr", "-t", "1", "--lanes", "1"});
        // Unanswered, the connect gives up after 10 s: on a loaded machine the
        // arenas may take most of that, so that case does not wait for them.
        if (!full) {
            ASSERT_TRUE(m.wait_for_output(" pages ", 30s)) << m.out();
            ASSERT_TRUE(m.wait_for_output(" net   connected to " + pool.endpoint() + "\n", 10s)) << m.out();
        }
        std::this_thread::sleep_for(1500ms);
        const std::string state = full ? "connecting (no answer)" : "logged in, no job yet";
        EXPECT_EQ(m.out().find("cannot reach"), std::string::npos) << state;  // still in that state
        std::printf("[measure] real binary: stop while %s %.2f s\n", state.c_str(), expect_clean_stop(m, SIGINT));
    }
}

TEST(MiningEndToEnd, ABackupPoolTakesOverWhileThePrimaryIsDown) {
    const fs::path dir = temp_dir("backup");
    TestPool pool(pool_binary, dir, {"--job-every", "0"});
    // The backup by name: resolved by the miner's own resolver (hosts file,
    // or loopback for localhost).
    const std::string backup = "localhost:" + pool.endpoint().substr(pool.endpoint().rfind(':') + 1);
    Process m({miner, "--no-color", "-o", "127.0.0.1:1", "--backup-pool", backup, "-u", "QXaddr", "-t", "1",
               "--lanes", "1"});
    ASSERT_TRUE(m.wait_for_output(" net   cannot reach 127.0.0.1:1, retry in ", 30s)) << m.out();
    const auto refused = std::chrono::steady_clock::now();
    ASSERT_TRUE(m.wait_for_output(" net   switching to backup pool " + backup + "\n", 10s)) << m.out();
    ASSERT_TRUE(m.wait_for_output(" net   connected to " + backup + "\n", 15s)) << m.out();
    const double failover = std::chrono::duration<double>(std::chrono::steady_clock::now() - refused).count();
    ASSERT_TRUE(m.wait_for_output(" net   logged in\n", 10s)) << m.out();
    EXPECT_NE(m.out().find("\n pool  backup " + backup + "\n"), std::string::npos) << m.out();
    EXPECT_GE(failover, 3.9);  // the first back-off step, 5 s less its jitter
    EXPECT_LT(failover, 8.0);
    std::printf("[measure] real binary: failover to the backup %.2f s after the refusal\n", failover);
    std::printf("[measure] real binary: stop while mining on the backup %.2f s\n", expect_clean_stop(m, SIGINT));
    fs::remove_all(dir);
}
