#include "pool/probe.hpp"

#include <chrono>
#include <utility>

#include <poll.h>

#include "net/connect.hpp"
#include "pool/connector.hpp"
#include "pool/protocol.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t max_probe_bytes = 1048576;

// Sends line whole within the step budget of a fresh connection.
bool send_all(Stream& stream, const std::string& line, const PoolTiming& timing) {
    const Clock::time_point give_up = Clock::now() + timing.connect_timeout;
    std::size_t sent = 0;
    while (sent < line.size()) {
        const StreamIo io = stream.write(line.data() + sent, line.size() - sent);
        if (io.kind == StreamIo::Kind::data) {
            sent += io.bytes;
            continue;
        }
        if (io.kind != StreamIo::Kind::would_block || Clock::now() >= give_up) return false;
        pollfd p{stream.fd(), io.wait_events, 0};
        ::poll(&p, 1, static_cast<int>(std::max<long long>(timing.step.count(), 1)));
    }
    return true;
}

}  // namespace

Probe::~Probe() { cancel(); }

void Probe::start(const Endpoint& endpoint, const std::string& tls_ca, std::string login_line, Lookups& lookups,
                  const PoolTiming& timing) {
    cancel();
    cancel_ = false;
    done_ = false;
    result_ = ProbeResult{};
    thread_ = std::thread([this, endpoint, tls_ca, line = std::move(login_line), &lookups, timing]() mutable {
        run(endpoint, tls_ca, std::move(line), lookups, timing);
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
    result_ = ProbeResult{};
}

void Probe::run(const Endpoint& endpoint, const std::string& tls_ca, std::string login_line, Lookups& lookups,
                const PoolTiming& timing) {
    Connected connected = open_connection(endpoint, tls_ca, lookups, timing, [this] { return !cancel_.load(); });
    if (!connected.stream) {
        result_.reason = connected.reason;
        return;
    }
    tune_socket(connected.stream.fd(), timing);
    login_line.push_back('\n');
    if (!send_all(connected.stream, login_line, timing)) {
        result_.reason = "the login could not be sent";
        return;
    }
    result_.reason = wait_and_hold(connected.stream, timing);
    if (result_.reason.empty()) result_.stream = std::move(connected.stream);
}

std::string Probe::wait_and_hold(Stream& stream, const PoolTiming& timing) {
    Clock::time_point give_up = Clock::now() + timing.job_timeout;
    std::optional<Clock::time_point> job_at;
    const int step_ms = static_cast<int>(std::max<long long>(timing.step.count(), 1));
    std::string& received = result_.received;
    std::size_t line_start = 0;
    short events = POLLIN;
    while (!cancel_.load()) {
        if (job_at && Clock::now() >= *job_at + timing.probe_hold) return "";
        if (!job_at && Clock::now() >= give_up) return "no job within " + duration_text(timing.job_timeout);
        if (!stream.buffered()) {
            pollfd p{stream.fd(), events, 0};
            if (::poll(&p, 1, step_ms) <= 0) continue;
        }
        char chunk[8192];
        const StreamIo io = stream.read(chunk, sizeof chunk);
        if (io.kind == StreamIo::Kind::would_block) {
            events = io.wait_events;
            continue;
        }
        events = POLLIN;
        if (io.kind != StreamIo::Kind::data) {
            const std::string why = io.kind == StreamIo::Kind::closed ? "closed by the pool" : socket_error_text(io.error);
            if (!job_at) return why;
            return why + " " + duration_text(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *job_at)) +
                   " after its job";
        }
        received.append(chunk, io.bytes);
        for (std::size_t end; !job_at && (end = received.find('\n', line_start)) != std::string::npos;
             line_start = end + 1) {
            const FirstReply reply = classify_reply(std::string_view(received).substr(line_start, end - line_start));
            if (reply == FirstReply::job) job_at = Clock::now();
            if (reply == FirstReply::refused) return "login refused";
        }
        if (received.size() > max_probe_bytes) return "over 1 MiB before the hand-over";
    }
    return "cancelled";
}

}  // namespace nolu::qxt
