#include "pool/connector.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int timed_out = -1;  // connect_one's code for its own time-out
constexpr int stopped = -2;

// 0 when connected, else the error number (or timed_out, stopped).
int connect_one(int fd, const SocketAddress& to, const PoolTiming& timing, const std::function<bool()>& keep_going) {
    if (::connect(fd, to.get(), to.length) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    const Clock::time_point give_up = Clock::now() + timing.connect_timeout;
    const auto step = std::max<std::chrono::milliseconds>(timing.step, std::chrono::milliseconds(1));
    for (;;) {
        if (!keep_going()) return stopped;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now());
        if (left.count() <= 0) return timed_out;
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min(left, step).count()));
        if (ready < 0 && errno != EINTR) return errno;
        if (ready <= 0) continue;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
        return error;
    }
}

// Which failure to tell when the addresses failed differently: the one
// that says most about the pool.
int weight(int error) {
    switch (error) {
        case ECONNREFUSED:
            return 4;
        case timed_out:
        case ETIMEDOUT:
            return 3;
        case EHOSTUNREACH:
            return 2;
        case ENETUNREACH:
            return 1;
        default:
            return 0;
    }
}

}  // namespace

std::string socket_error_text(int error) {
    switch (error) {
        case ECONNREFUSED:
            return "connection refused";
        case timed_out:
        case ETIMEDOUT:
            return "timed out";
        case ENETUNREACH:
            return "network unreachable";
        case EHOSTUNREACH:
            return "no route to host";
        case ECONNRESET:
            return "reset by the pool";
        default:
            break;
    }
    char buffer[128] = "";
    // The GNU strerror_r may return a static text instead of filling buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text != nullptr && *text != '\0' ? std::string(text) : "error " + std::to_string(error);
}

Connected open_connection(const Endpoint& endpoint, Lookups& lookups, const PoolTiming& timing,
                          const std::function<bool()>& keep_going) {
    Connected out;
    const std::optional<Lookup> found = lookups.resolve(endpoint.host, timing.resolve_timeout, timing.step, keep_going);
    if (!found) return out;
    if (!*found) {
        out.reason = lookup_error_text(found->error());
        return out;
    }
    if (found->value().empty()) {
        out.reason = lookup_error_text(LookupError{LookupError::Kind::not_found});
        return out;
    }
    int worst = 0;
    bool any = false;
    for (const IpAddress& address : found->value()) {
        if (!keep_going()) return Connected{};
        const SocketAddress to = socket_address(address, endpoint.port);
        const int fd = ::socket(to.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            if (!any || weight(errno) > weight(worst)) worst = errno;
            any = true;
            continue;
        }
        const int result = connect_one(fd, to, timing, keep_going);
        if (result == 0) {
            const int flags = ::fcntl(fd, F_GETFL, 0);
            if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
                out.fd = fd;
                return out;
            }
        }
        ::close(fd);
        if (result == stopped) return Connected{};
        if (!any || weight(result) > weight(worst)) worst = result;
        any = true;
    }
    out.reason = socket_error_text(worst);
    return out;
}

void tune_socket(int fd, const PoolTiming& timing) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &timing.keepalive_idle_s, sizeof timing.keepalive_idle_s);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &timing.keepalive_interval_s, sizeof timing.keepalive_interval_s);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &timing.keepalive_count, sizeof timing.keepalive_count);
    const auto user_timeout = static_cast<unsigned>(timing.user_timeout.count());
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout);
}

}  // namespace nolu::qxt
