// The pool client's connection thread and its one send path.
//
// The thread resolves the pool, connects, logs in, reads lines and hands them
// to the protocol layer; when the connection fails or ends it waits and tries
// again, 5, 10, 20, 40 and then 60 s, back to 5 s after a connection that
// delivered a job. Every wait (retry sleeps, connect, send stalls, reads) is
// cut into short steps that watch `running`, so `Pool::stop` returns promptly
// whatever the pool or the network does.
#include "pool/pool.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <utility>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace nolu::qxt {

namespace {

constexpr std::size_t recv_chunk = 8192;
// Longest unfinished line the client buffers before it gives up on the pool.
constexpr std::size_t max_partial_line = 1048576;
constexpr int read_poll_ms = 1000;
constexpr int initial_delay_s = 5;
constexpr int max_delay_s = 60;
// A line that makes no progress for this many wait steps (10 s by default) is
// given up: the pool has stopped reading.
constexpr int send_stall_steps = 100;

void sleep_for(std::chrono::milliseconds step) {
    timespec request{};
    request.tv_sec = static_cast<time_t>(step.count() / 1000);
    request.tv_nsec = static_cast<long>((step.count() % 1000) * 1000000);
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

}  // namespace

Pool::Pool(std::chrono::milliseconds wait_step)
    : wait_step_(wait_step.count() > 0 ? wait_step : std::chrono::milliseconds(1)) {}

Pool::~Pool() {
    stop();
}

void Pool::start(const Config& config) {
    // A second start without a stop would orphan the running thread.
    if (thread_.joinable()) stop();
    host_ = config.host;
    port_ = config.port;
    address_ = config.address;
    worker_ = config.worker;
    difficulty_hint_ = config.difficulty_hint > 0 ? static_cast<std::uint64_t>(config.difficulty_hint) : 0;
    running_ = true;
    thread_ = std::thread([this] { connection_loop(); });
}

void Pool::stop() {
    running_ = false;
    {
        std::lock_guard<std::mutex> lock(send_mutex_);
        if (sock_ != -1) ::shutdown(sock_, SHUT_RDWR);
    }
    if (thread_.joinable()) thread_.join();
}

void Pool::set_callbacks(LogFn on_log, ShareFn on_share) {
    on_log_ = std::move(on_log);
    on_share_ = std::move(on_share);
}

Job Pool::current_job() {
    std::lock_guard<std::mutex> lock(job_mutex_);
    return job_;
}

std::optional<Job> Pool::mineable_job() {
    Job copy = current_job();
    if (!copy.valid || !connected_.load()) return std::nullopt;
    return copy;
}

bool Pool::submit(const Job& job, std::uint64_t nonce, const std::uint8_t* hash) {
    // A share of a job from an earlier connection never goes out on a later
    // one (and takes no submission id); the send re-checks under its lock.
    if (job.connection == 0 || connection_count_.load() != job.connection) return false;
    return submit_share(job.job_id, nonce, hash, job.connection);
}

Config Pool::config() const {
    Config c;
    c.host = host_;
    c.port = port_;
    c.address = address_;
    c.worker = worker_;
    c.difficulty_hint = static_cast<std::int64_t>(difficulty_hint_);
    return c;
}

bool Pool::send_line(std::string_view line) {
    return send_whole(line, 0);
}

bool Pool::send_whole(std::string_view line, std::uint64_t connection) {
    std::string data;
    data.reserve(line.size() + 1);
    data.append(line);
    data.push_back('\n');

    const int step_ms = static_cast<int>(wait_step_.count());
    std::lock_guard<std::mutex> lock(send_mutex_);
    if (sock_ == -1) return false;
    if (connection != 0 && connection_count_.load() != connection) return false;

    // Non-blocking writes, waiting for room in short steps: a pool that stops
    // reading cannot hold this thread (and with it send_mutex, which
    // Pool::stop and the disconnect need) for longer than the stall limit.
    const auto stall_limit = wait_step_ * send_stall_steps;
    auto give_up_at = std::chrono::steady_clock::now() + stall_limit;
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(sock_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            give_up_at = std::chrono::steady_clock::now() + stall_limit;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && running_.load() &&
            std::chrono::steady_clock::now() < give_up_at) {
            pollfd p{sock_, POLLOUT, 0};
            ::poll(&p, 1, step_ms);
            continue;
        }
        break;
    }
    if (sent == data.size()) return true;
    // The line did not go out whole. Whatever part of it did is already on the
    // wire, and the next line would be glued onto it; a connection that
    // fails a send or stalls is finished anyway. Shut it down so the
    // connection thread reconnects cleanly.
    ::shutdown(sock_, SHUT_RDWR);
    return false;
}

void Pool::log(const std::string& text) {
    if (on_log_) on_log_(text);
}

void Pool::wait_seconds(int seconds) {
    for (long i = 0; i < static_cast<long>(seconds) * 10; ++i) {
        if (!running_.load()) return;
        sleep_for(wait_step_);
    }
}

bool Pool::connect_socket(int fd, const ::addrinfo& entry) {
    // Connect without blocking and wait in short steps: an address that never
    // answers would otherwise hold this thread (and a Pool::stop) for minutes.
    // The system's own connect time-out still decides when an attempt fails.
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    if (::connect(fd, entry.ai_addr, entry.ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return false;
        const int step_ms = static_cast<int>(wait_step_.count());
        for (;;) {
            if (!running_.load()) return false;
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, step_ms);
            if (ready < 0 && errno != EINTR) return false;
            if (ready <= 0) continue;
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
            break;
        }
    }
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

int Pool::open_connection() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port_);
    if (::getaddrinfo(host_.c_str(), service.c_str(), &hints, &list) != 0) return -1;
    int fd = -1;
    for (addrinfo* entry = list; entry != nullptr && running_.load(); entry = entry->ai_next) {
        const int candidate = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (candidate < 0) continue;
        if (connect_socket(candidate, *entry)) {
            fd = candidate;
            break;
        }
        ::close(candidate);
    }
    ::freeaddrinfo(list);
    return fd;
}

void Pool::read_loop(int fd) {
    std::string buffer;
    std::size_t scanned = 0;  // bytes of buffer already known to hold no line feed
    char chunk[recv_chunk];
    while (running_.load()) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, read_poll_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) continue;
        ssize_t n;
        do {
            n = ::recv(fd, chunk, sizeof chunk, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<std::size_t>(n));

        std::size_t start = 0;
        for (;;) {
            const std::size_t end = buffer.find('\n', start + scanned);
            if (end == std::string::npos) break;
            scanned = 0;
            if (end > start) {
                const std::string_view line(buffer.data() + start, end - start);
                try {
                    handle_line(line);
                } catch (...) {
                    // Out of memory on a huge line: drop the line, keep the connection.
                }
            }
            start = end + 1;
        }
        buffer.erase(0, start);
        scanned = buffer.size();
        if (buffer.size() > max_partial_line) return;
    }
}

void Pool::connection_loop() {
    int delay = initial_delay_s;
    while (running_.load()) {
        const int fd = open_connection();
        if (fd < 0) {
            // A stop that cut the connect short is not a failure to report.
            if (!running_.load()) break;
            log("cannot reach " + host_ + ":" + std::to_string(port_) + ", retry in " + std::to_string(delay) + " s");
            wait_seconds(delay);
            delay = std::min(delay * 2, max_delay_s);
            continue;
        }

        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        {
            // The connection number moves with the descriptor, under the same
            // lock, so a submission bound to an older connection sees the change.
            std::lock_guard<std::mutex> lock(send_mutex_);
            sock_ = fd;
            connection_count_.fetch_add(1);
        }
        connected_ = true;
        const std::uint64_t snapshot = job_counter_.load();
        log("connected to " + host_ + ":" + std::to_string(port_));
        send_line(login_line());

        read_loop(fd);

        connected_ = false;
        // Wake a submitter waiting for room before taking its lock; only this
        // thread closes fd, so it is still ours to shut down.
        ::shutdown(fd, SHUT_RDWR);
        {
            std::lock_guard<std::mutex> lock(send_mutex_);
            ::close(fd);
            sock_ = -1;
        }
        {
            std::lock_guard<std::mutex> lock(job_mutex_);
            job_.valid = false;
        }
        if (job_counter_.load() != snapshot) delay = initial_delay_s;
        if (running_.load()) log("connection lost, reconnecting in " + std::to_string(delay) + " s");
        wait_seconds(delay);
        delay = std::min(delay * 2, max_delay_s);
    }
}

}  // namespace nolu::qxt
