#include "net/http/server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "common/unique_fd.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t read_chunk = 4096;
constexpr std::size_t accepts_per_round = 64;
constexpr std::size_t linger_bytes = 65536;  // more than this after the reply: close at once
constexpr auto accept_pause = std::chrono::milliseconds(100);
constexpr auto longest_poll = std::chrono::milliseconds(1000);

enum class Phase { reading, writing, lingering };

struct Connection {
    UniqueFd fd;
    Phase phase = Phase::reading;
    bool refused = false;  // its reply is an error (401, 404, ...): nobody waits for it
    std::string in;
    std::string out;
    std::size_t done = 0;  // bytes sent (writing) or dropped (lingering)
    Clock::time_point deadline;
    std::uint64_t order = 0;
};

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// The loop of the server thread; all its state lives here, on that thread.
class ServeLoop {
public:
    ServeLoop(int listen_fd, int wake_fd, const HttpServer& server, const HttpRoutes& routes,
              const HttpRoutes& actions, const HttpServerLimits& limits)
        : listen_fd_(listen_fd), wake_fd_(wake_fd), server_(server), routes_(routes), actions_(actions),
          limits_(limits) {}

    void run() {
        std::vector<pollfd> fds;
        for (;;) {
            Clock::time_point now = Clock::now();
            fds.clear();
            fds.push_back({wake_fd_, POLLIN, 0});
            fds.push_back({now >= accept_paused_until_ ? listen_fd_ : -1, POLLIN, 0});
            for (const Connection& c : connections_)
                fds.push_back({c.fd.get(), static_cast<short>(c.phase == Phase::writing ? POLLOUT : POLLIN), 0});
            const int ready = ::poll(fds.data(), fds.size(), poll_timeout_ms(now));
            if (ready < 0 && errno != EINTR) break;
            if (fds[0].revents != 0) break;  // stop
            now = Clock::now();
            for (std::size_t i = 0; i + 2 < fds.size(); ++i)
                if (fds[i + 2].revents != 0) service(connections_[i], now);
            expire(now);
            drop_closed();
            if ((fds[1].revents & POLLIN) != 0) accept_all(now);
        }
        for (Connection& c : connections_) close_connection(c);
    }

private:
    int poll_timeout_ms(Clock::time_point now) const {
        Clock::time_point wake = now + longest_poll;
        for (const Connection& c : connections_) wake = std::min(wake, c.deadline);
        if (accept_paused_until_ > now) wake = std::min(wake, accept_paused_until_);
        if (wake <= now) return 0;
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count()) + 1;
    }

    void service(Connection& c, Clock::time_point now) {
        if (c.phase == Phase::writing)
            flush(c, now);
        else if (c.phase == Phase::reading)
            read_request(c, now);
        else
            read_and_drop(c);
    }

    void read_request(Connection& c, Clock::time_point now) {
        char buffer[read_chunk];
        const std::size_t room = std::min(read_chunk, http_max_head - c.in.size());
        const ssize_t n = ::recv(c.fd.get(), buffer, room, 0);
        if (n < 0 && would_block(errno)) return;
        if (n <= 0) {  // gone before its request was whole
            close_connection(c);
            return;
        }
        c.in.append(buffer, static_cast<std::size_t>(n));
        HttpRequest request;
        const HttpParse parsed = parse_http_request(c.in, request);
        if (parsed == HttpParse::incomplete) return;
        if (parsed == HttpParse::bad) return respond(c, http_error(400), false, now);
        if (parsed == HttpParse::too_large) return respond(c, http_error(413), false, now);
        HttpReply reply;
        try {
            reply = answer_http(request, server_.token(), routes_, actions_);
        } catch (...) {
            reply = http_error(500);
        }
        respond(c, reply, request.method == "HEAD", now);
    }

    void respond(Connection& c, const HttpReply& reply, bool head, Clock::time_point now) {
        c.in.clear();
        c.in.shrink_to_fit();
        c.out = http_reply_bytes(reply, head);
        c.refused = reply.status >= 400;
        c.done = 0;
        c.phase = Phase::writing;
        c.deadline = now + limits_.reply_time;
        flush(c, now);
    }

    void flush(Connection& c, Clock::time_point now) {
        while (c.done < c.out.size()) {
            const ssize_t n = ::send(c.fd.get(), c.out.data() + c.done, c.out.size() - c.done, MSG_NOSIGNAL);
            if (n < 0 && would_block(errno)) return;
            if (n <= 0) {
                close_connection(c);
                return;
            }
            c.done += static_cast<std::size_t>(n);
        }
        ::shutdown(c.fd.get(), SHUT_WR);
        c.out.clear();
        c.out.shrink_to_fit();
        c.done = 0;
        c.phase = Phase::lingering;
        c.deadline = now + limits_.linger_time;
    }

    void read_and_drop(Connection& c) {
        char buffer[read_chunk];
        const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && would_block(errno)) return;
        if (n > 0) c.done += static_cast<std::size_t>(n);
        if (n <= 0 || c.done > linger_bytes) close_connection(c);
    }

    void expire(Clock::time_point now) {
        for (Connection& c : connections_) {
            if (!c.fd || c.deadline > now) continue;
            if (c.phase == Phase::reading) send_once(c.fd.get(), http_error(408));
            close_connection(c);
        }
    }

    // One non-blocking attempt, for replies to connections about to be closed.
    static void send_once(int fd, const HttpReply& reply) {
        const std::string bytes = http_reply_bytes(reply, false);
        [[maybe_unused]] const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    void accept_all(Clock::time_point now) {
        for (std::size_t i = 0; i < accepts_per_round; ++i) {
            UniqueFd fd(::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (fd) {
                admit(std::move(fd), now);
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors or memory: the listener would stay readable, so rest a moment.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                accept_paused_until_ = now + accept_pause;
            return;
        }
    }

    // How readily a connection gives up its place to a new one: a finished
    // reply first, then an error reply on its way, then a request still
    // arriving; a reply being sent to a request that passed never (-1).
    static int give_way_rank(const Connection& c) {
        if (c.phase == Phase::lingering) return 0;
        if (c.phase == Phase::writing) return c.refused ? 1 : -1;
        return 2;
    }

    // The connection to push out for a new one (the oldest of the readiest
    // kind), or end() when every place holds a reply in progress.
    std::vector<Connection>::iterator place_to_free() {
        auto chosen = connections_.end();
        int chosen_rank = 3;
        for (auto it = connections_.begin(); it != connections_.end(); ++it) {
            const int rank = give_way_rank(*it);
            if (rank < 0) continue;
            if (rank < chosen_rank || (rank == chosen_rank && it->order < chosen->order)) {
                chosen = it;
                chosen_rank = rank;
            }
        }
        return chosen;
    }

    void admit(UniqueFd fd, Clock::time_point now) {
        if (connections_.size() >= limits_.max_connections) {
            const auto freed = place_to_free();
            if (freed == connections_.end()) {
                send_once(fd.get(), http_error(503));
                return;
            }
            connections_.erase(freed);
        }
        Connection c;
        c.fd = std::move(fd);
        c.deadline = now + limits_.request_time;
        c.order = next_order_++;
        connections_.push_back(std::move(c));
    }

    static void close_connection(Connection& c) { c.fd.reset(); }

    void drop_closed() {
        connections_.erase(
            std::remove_if(connections_.begin(), connections_.end(), [](const Connection& c) { return !c.fd; }),
            connections_.end());
    }

    int listen_fd_;
    int wake_fd_;
    const HttpServer& server_;
    const HttpRoutes& routes_;
    const HttpRoutes& actions_;
    const HttpServerLimits& limits_;
    std::vector<Connection> connections_;
    Clock::time_point accept_paused_until_{};
    std::uint64_t next_order_ = 0;
};

}  // namespace

Expected<std::unique_ptr<HttpServer>> HttpServer::start(int listen_fd, std::string token, HttpRoutes routes,
                                                       HttpServerLimits limits, HttpRoutes actions) {
    UniqueFd listener(listen_fd);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        return fail(std::string("cannot start the HTTP server: ") + std::strerror(error));
    }
    std::unique_ptr<HttpServer> server(
        new HttpServer(listener.release(), wake[0], wake[1], std::move(token), std::move(routes), std::move(actions), limits));
    try {
        server->thread_ = std::thread([s = server.get()] {
            ServeLoop(s->listen_fd_.get(), s->wake_read_.get(), *s, s->routes_, s->actions_, s->limits_).run();
        });
    } catch (const std::system_error& e) {
        return fail(std::string("cannot start the HTTP server: ") + e.what());  // the destructor closes the descriptors
    }
    return server;
}

HttpServer::HttpServer(int listen_fd, int wake_read, int wake_write, std::string token, HttpRoutes routes,
                       HttpRoutes actions, HttpServerLimits limits)
    : listen_fd_(listen_fd),
      wake_read_(wake_read),
      wake_write_(wake_write),
      token_(std::move(token)),
      routes_(std::move(routes)),
      actions_(std::move(actions)),
      limits_(limits) {}

void HttpServer::set_token(std::string token) {
    const std::lock_guard<std::mutex> lock(token_mutex_);
    token_ = std::move(token);
}

std::string HttpServer::token() const {
    const std::lock_guard<std::mutex> lock(token_mutex_);
    return token_;
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::stop() {
    if (thread_.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), &byte, 1);
        thread_.join();
    }
    for (UniqueFd* fd : {&listen_fd_, &wake_read_, &wake_write_}) fd->reset();
}

}  // namespace nolu::qxt
