// Helpers for the pool tests: a log collector, job-line builders and a small
// line-oriented TCP server on 127.0.0.1.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pool/pool.hpp"

namespace nolu::qxt::test {

using namespace std::chrono_literals;

// Collects the log and share callbacks of one Pool, thread-safely. Declare it
// before the Pool it is attached to, so it outlives the connection thread.
class Recorder {
public:
    void attach(Pool& pool);
    std::vector<std::string> logs();
    std::vector<std::pair<bool, std::string>> shares();
    // Waits until some log line equals text (or, with prefix, starts with it).
    bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout = 5s, bool prefix = false);
    // Waits until at least n log lines start with prefix.
    bool wait_for_count(const std::string& prefix, std::size_t n, std::chrono::milliseconds timeout = 5s);
    bool wait_for_shares(std::size_t n, std::chrono::milliseconds timeout = 5s);
    std::vector<std::string> with_prefix(const std::string& prefix);
    void clear();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> logs_;
    std::vector<std::pair<bool, std::string>> shares_;
};

// 184 hex digits of a header whose every byte is fill.
std::string header_hex(std::uint8_t fill);
// A job message; header bytes and target bytes derive from height.
std::string job_line(std::uint64_t height, const std::string& job_id = "", std::uint64_t difficulty = 0);

// Accepts one client at a time on an ephemeral port of 127.0.0.1.
class TestServer {
public:
    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::uint16_t port() const { return port_; }
    // Accepts the next connection (closing the current client first).
    bool accept_client(std::chrono::milliseconds timeout = 5s);
    bool send(std::string_view bytes);
    // The next line the client sent, without its line feed.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = 5s);
    // Whether the client has closed its end (seen by a read).
    bool client_closed() const { return client_closed_; }
    // Everything the client sends until it closes (or timeout).
    std::string read_until_closed(std::chrono::milliseconds timeout = 5s);
    // True once the client closed its side (EOF or reset), draining what it sent.
    bool wait_closed(std::chrono::milliseconds timeout = 5s);
    void close_client();
    void close_listener();
    // Listens again on the same port after close_listener (a pool that comes back).
    bool reopen();
    int client_fd() const { return client_; }
    // The client's port (its end of the accepted connection); 0 without one.
    std::uint16_t peer_port() const;

private:
    int listener_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
    std::string pending_;
    bool client_closed_ = false;
};

// A port of 127.0.0.1 on which nothing listens.
std::uint16_t closed_port();

// An address that takes no connection and refuses none: a listener on
// address:port whose accept queue is full, so the kernel drops further
// connection requests without an answer.
class BlackHole {
public:
    explicit BlackHole(std::uint16_t port = 0, const char* address = "127.0.0.1");
    ~BlackHole();
    BlackHole(const BlackHole&) = delete;
    BlackHole& operator=(const BlackHole&) = delete;
    std::uint16_t port() const { return port_; }
    // False when this system answered a connect all the same (then skip).
    bool holding() const { return holding_; }

private:
    int listener_ = -1;
    std::vector<int> fillers_;
    std::uint16_t port_ = 0;
    bool holding_ = false;
};

// Short time-outs for tests: 1 ms wait steps (a back-off step of 5 s is 50 ms);
// a session that gave a job holds however short it was, and so does the probe.
PoolTiming fast_timing();
// The default time-outs with wait steps of step, and sessions and probes that
// hold as soon as they gave a job.
PoolTiming held_at_once(std::chrono::milliseconds step);

// Starts pool against server and accepts its connection; the login line it
// sent, or nothing when it did not connect.
std::optional<std::string> start_and_accept(Pool& pool, TestServer& server, const Config& config);
// Drops the current client and accepts the pool's next connection, reading
// its login line.
bool reconnect(TestServer& server);

Config config_for(std::uint16_t port, const std::string& address = "QXTaddr", const std::string& worker = "rig1");

// A jitter source that leaves every back-off step as it is (5, 10, 20 s...).
inline double no_jitter() { return 0.5; }

}  // namespace nolu::qxt::test
