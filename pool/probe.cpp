#include "pool/probe.hpp"

#include <cerrno>
#include <chrono>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pool/connector.hpp"
#include "pool/protocol.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t max_probe_bytes = 1048576;

}  // namespace

Probe::~Probe() { cancel(); }

void Probe::start(const Endpoint& endpoint, std::string login_line, Lookups& lookups, const PoolTiming& timing) {
    cancel();
    cancel_ = false;
    done_ = false;
    result_ = ProbeResult{};
    thread_ = std::thread([this, endpoint, line = std::move(login_line), &lookups, timing]() mutable {
        run(std::move(endpoint), std::move(line), lookups, timing);
        done_ = true;
    });
}

ProbeResult Probe::take() {
    if (thread_.joinable()) thread_.join();
    ProbeResult out = std::move(result_);
    result_ = ProbeResult{};
    return out;
}

void Probe::cancel() {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
    if (result_.fd >= 0) ::close(result_.fd);
    result_ = ProbeResult{};
}

void Probe::run(Endpoint endpoint, std::string login_line, Lookups& lookups, PoolTiming timing) {
    const auto keep_going = [this] { return !cancel_.load(); };
    Connected connected = open_connection(endpoint, lookups, timing, keep_going);
    if (connected.fd < 0) {
        result_.reason = connected.reason;
        return;
    }
    const int fd = connected.fd;
    tune_socket(fd, timing);
    login_line.push_back('\n');
    // A fresh connection's send buffer takes one short line whole.
    if (::send(fd, login_line.data(), login_line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
        static_cast<ssize_t>(login_line.size())) {
        ::close(fd);
        result_.reason = "the login could not be sent";
        return;
    }
    const Clock::time_point give_up = Clock::now() + timing.job_timeout;
    const int step_ms = static_cast<int>(std::max<long long>(timing.step.count(), 1));
    std::string received;
    std::size_t line_start = 0;
    while (keep_going()) {
        if (Clock::now() >= give_up) {
            result_.reason = "no job within " + duration_text(timing.job_timeout);
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, step_ms);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        char chunk[8192];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            result_.reason = n == 0 ? "closed by the pool" : socket_error_text(errno);
            break;
        }
        received.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; (end = received.find('\n', line_start)) != std::string::npos; line_start = end + 1) {
            const FirstReply reply = classify_reply(std::string_view(received).substr(line_start, end - line_start));
            if (reply == FirstReply::job) {
                result_.fd = fd;
                result_.received = std::move(received);
                return;
            }
            if (reply == FirstReply::refused) {
                ::close(fd);
                result_.reason = "login refused";
                return;
            }
        }
        if (received.size() > max_probe_bytes) {
            result_.reason = "a line over 1 MiB";
            break;
        }
    }
    ::close(fd);
}

}  // namespace nolu::qxt
