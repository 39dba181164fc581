// The pool client: connection thread, job slot shared with the mining
// threads, and the one locked send path for every outgoing line.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "app/config.hpp"
#include "pool/json.hpp"

struct addrinfo;

namespace nolu::qxt {

struct Job {
    std::uint64_t seq = 0;
    std::uint64_t connection = 0;
    std::string job_id;
    std::array<std::uint8_t, 92> header_base{};
    std::array<std::uint8_t, 32> target{};
    std::array<std::uint8_t, 32> network_target{};
    std::uint64_t height = 0;
    std::uint64_t nonce_start = 0;
    std::uint64_t nonce_end = ~std::uint64_t{0};
    std::uint64_t difficulty = 0;
    bool valid = false;
};

class Pool {
public:
    // wait_step is the unit of every wait of the connection thread (100 ms):
    // retry sleeps, connect and send-stall polling. Tests shorten it.
    explicit Pool(std::chrono::milliseconds wait_step = std::chrono::milliseconds(100));
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    void start(const Config& config);
    void stop();

    // Writes line and a line feed under send_mutex. False when there is no
    // connection or the line could not be written whole; the connection is
    // then shut down, so no later line is glued onto a part of this one.
    bool send_line(std::string_view line);
    // connection: when not 0, the line is only sent while the socket is still
    // that connection's (checked under send_mutex), so a share found for a job
    // of an earlier connection never goes out on a later one.
    void submit(const std::string& job_id, std::uint64_t nonce, const std::uint8_t* hash,
                std::uint64_t connection = 0);
    std::string login_line() const;
    void handle_line(std::string_view line);
    void parse_job(const JsonValue& fields);

    // Copies the whole job slot under job_mutex.
    Job current_job();

    std::function<void(const std::string&)> on_log;
    std::function<void(bool, const std::string&)> on_share;

    std::string host;
    std::uint16_t port = 3333;
    std::string address;
    std::string worker;
    std::uint64_t difficulty_hint = 0;

    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> connected{false};
    std::atomic<std::uint64_t> job_counter{0};
    std::atomic<std::uint64_t> next_id{2};
    std::atomic<std::uint64_t> connection_count{0};
    std::uint64_t last_difficulty = 0;

    std::mutex job_mutex;
    std::mutex send_mutex;
    Job job;
    int sock = -1;

private:
    bool send_whole(std::string_view line, std::uint64_t connection);
    void connection_loop();
    // Resolves and connects; the connected descriptor or -1.
    int open_connection();
    bool connect_socket(int fd, const ::addrinfo& entry);
    void read_loop(int fd);
    void log(const std::string& text);
    // Waits up to seconds, in wait_step sleeps, returning early once running is false.
    void wait_seconds(int seconds);

    std::chrono::milliseconds wait_step_;
};

}  // namespace nolu::qxt
