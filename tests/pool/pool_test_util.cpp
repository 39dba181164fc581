#include "pool_test_util.hpp"

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.hpp"

namespace nolu::qxt::test {

namespace {

std::string hex_bytes(std::size_t count, std::uint8_t fill) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < count; ++i) {
        s.push_back(hex[fill >> 4]);
        s.push_back(hex[fill & 0x0F]);
    }
    return s;
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

void Recorder::attach(Pool& pool) {
    pool.set_callbacks(
        [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            logs_.push_back(text);
            changed_.notify_all();
        },
        [this](bool accepted, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            shares_.emplace_back(accepted, text);
            changed_.notify_all();
        });
}

std::vector<std::string> Recorder::logs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
}

std::vector<std::pair<bool, std::string>> Recorder::shares() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shares_;
}

bool Recorder::wait_for_log(const std::string& text, std::chrono::milliseconds timeout, bool prefix) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const auto& line : logs_) {
            if (prefix ? line.rfind(text, 0) == 0 : line == text) return true;
        }
        return false;
    });
}

bool Recorder::wait_for_count(const std::string& prefix, std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        std::size_t count = 0;
        for (const auto& line : logs_) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return count >= n;
    });
}

bool Recorder::wait_for_shares(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return shares_.size() >= n; });
}

std::vector<std::string> Recorder::with_prefix(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& line : logs_) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
}

void Recorder::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.clear();
    shares_.clear();
}

std::string header_hex(std::uint8_t fill) {
    return hex_bytes(92, fill);
}

std::string job_line(std::uint64_t height, const std::string& job_id, std::uint64_t difficulty) {
    const std::string id = job_id.empty() ? "j" + std::to_string(height) : job_id;
    return R"({"method":"job","params":{"job_id":")" + id + R"(","header_base":")" +
           header_hex(static_cast<std::uint8_t>(height)) + R"(","target":")" +
           hex_bytes(32, static_cast<std::uint8_t>(height + 1)) + R"(","height":)" + std::to_string(height) +
           R"(,"nonce_start":)" + std::to_string(height * 1000) + R"(,"difficulty":)" + std::to_string(difficulty) +
           "}}";
}

TestServer::TestServer() {
    listener_ = listen_loopback(0, 16);
    port_ = bound_port(listener_);
}

TestServer::~TestServer() {
    close_client();
    close_listener();
}

bool TestServer::accept_client(std::chrono::milliseconds timeout) {
    close_client();
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
}

bool TestServer::send(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> TestServer::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        pollfd p{client_, POLLIN, 0};
        if (::poll(&p, 1, remaining_ms(deadline)) <= 0) return std::nullopt;
        char chunk[65536];
        const ssize_t n = ::recv(client_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            client_closed_ = true;
            return std::nullopt;
        }
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string TestServer::read_until_closed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string all = std::move(pending_);
    pending_.clear();
    for (;;) {
        pollfd p{client_, POLLIN, 0};
        if (::poll(&p, 1, remaining_ms(deadline)) <= 0) return all;
        char chunk[65536];
        const ssize_t n = ::recv(client_, chunk, sizeof chunk, 0);
        if (n <= 0) return all;
        all.append(chunk, static_cast<std::size_t>(n));
    }
}

bool TestServer::wait_closed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pollfd p{client_, POLLIN, 0};
        if (::poll(&p, 1, remaining_ms(deadline)) <= 0) return false;
        char chunk[65536];
        const ssize_t n = ::recv(client_, chunk, sizeof chunk, 0);
        if (n <= 0) return true;
    }
}

void TestServer::close_client() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
    pending_.clear();
    client_closed_ = false;
}

void TestServer::close_listener() {
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

bool TestServer::reopen() {
    close_listener();
    listener_ = listen_loopback(port_, 16);
    return listener_ >= 0;
}

std::uint16_t TestServer::peer_port() const {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (client_ < 0 || ::getpeername(client_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
    return ntohs(addr.sin_port);
}

BlackHole::BlackHole(std::uint16_t port, const char* address) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &addr.sin_addr);
    addr.sin_port = htons(port);
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 0) != 0) return;
    socklen_t length = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    // Fill the accept queue; the connects beyond it stay unanswered.
    for (int i = 0; i < 8; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers_.push_back(fd);
    }
    ::usleep(100000);
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    pollfd p{probe, POLLOUT, 0};
    holding_ = ::poll(&p, 1, 200) == 0;
    fillers_.push_back(probe);
}

BlackHole::~BlackHole() {
    for (const int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
}

PoolTiming fast_timing() {
    PoolTiming timing;
    timing.step = 1ms;
    timing.resolve_timeout = 300ms;
    timing.connect_timeout = 300ms;
    timing.job_timeout = 300ms;
    timing.primary_retry = 300ms;
    timing.read_poll = 50ms;
    timing.min_session = 0ms;  // the tests of short sessions and of the probe's hold set their own
    timing.probe_hold = 0ms;
    return timing;
}

PoolTiming held_at_once(std::chrono::milliseconds step) {
    PoolTiming timing;
    timing.step = step;
    timing.min_session = 0ms;
    timing.probe_hold = 0ms;
    return timing;
}

std::uint16_t closed_port() {
    // Bind an ephemeral port and release it without listening: connects to it
    // are refused.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const std::uint16_t port = bind_loopback(fd);
    ::close(fd);
    return port;
}

std::optional<std::string> start_and_accept(Pool& pool, TestServer& server, const Config& config) {
    pool.start(config);
    if (!server.accept_client()) return std::nullopt;
    return server.read_line();
}

bool reconnect(TestServer& server) {
    server.close_client();
    return server.accept_client() && server.read_line().has_value();
}

Config config_for(std::uint16_t port, const std::string& address, const std::string& worker) {
    Config config;
    config.host = "127.0.0.1";
    config.port = port;
    config.address = address;
    config.worker = worker;
    config.agent = "test-agent";
    config.difficulty_hint = 0;
    return config;
}

}  // namespace nolu::qxt::test
