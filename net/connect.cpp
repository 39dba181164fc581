#include "net/connect.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

int finish_connect(int fd, Clock::time_point deadline, std::chrono::milliseconds step,
                   const std::function<bool()>& keep_going) {
    step = std::max(step, std::chrono::milliseconds(1));
    for (;;) {
        if (!keep_going()) return connect_stopped;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return connect_timed_out;
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

}  // namespace

Connect connect_with_deadline(const SocketAddress& to, Clock::time_point deadline, std::chrono::milliseconds step,
                              const std::function<bool()>& keep_going) {
    Connect out;
    UniqueFd fd(::socket(to.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        out.error = errno;
        return out;
    }
    int result = 0;
    if (::connect(fd.get(), to.get(), to.length) != 0) {
        result = errno == EINPROGRESS || errno == EINTR ? finish_connect(fd.get(), deadline, step, keep_going) : errno;
    }
    if (result == 0) {
        out.fd = std::move(fd);
    } else {
        out.error = result;
    }
    return out;
}

std::string socket_error_text(int error) {
    switch (error) {
        case ECONNREFUSED:
            return "connection refused";
        case connect_timed_out:
        case ETIMEDOUT:
            return "timed out";
        case ENETUNREACH:
            return "network unreachable";
        case EHOSTUNREACH:
            return "no route to host";
        case ECONNRESET:
            return "reset by the pool";
        case 0:  // a stream error with no errno: the TLS layer refused a record
            return "TLS protocol error";
        default:
            break;
    }
    char buffer[128] = "";
    // The GNU strerror_r may return a static text instead of filling buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text != nullptr && *text != '\0' ? std::string(text) : "error " + std::to_string(error);
}

int connect_error_weight(int error) {
    switch (error) {
        case ECONNREFUSED:
            return 4;
        case connect_timed_out:
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

}  // namespace nolu::qxt
