#include "pool/connector.hpp"

#include <algorithm>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "net/connect.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::vector<IpAddress> connect_order(const std::vector<IpAddress>& found) {
    std::vector<IpAddress> v4, v6, out;
    for (const IpAddress& address : found) (address.v6 ? v6 : v4).push_back(address);
    const bool v6_first = !found.empty() && found.front().v6;
    std::vector<IpAddress>& first = v6_first ? v6 : v4;
    std::vector<IpAddress>& second = v6_first ? v4 : v6;
    for (std::size_t i = 0; out.size() < max_addresses_per_name && (i < first.size() || i < second.size()); ++i) {
        if (i < first.size()) out.push_back(first[i]);
        if (i < second.size() && out.size() < max_addresses_per_name) out.push_back(second[i]);
    }
    return out;
}

std::string bare_host(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

Connected open_connection(const Endpoint& endpoint, const std::string& tls_ca, Lookups& lookups,
                          const PoolTiming& timing, const std::function<bool()>& keep_going) {
    Connected out;
    const Clock::time_point budget_end = Clock::now() + timing.attempt_budget;
    const auto lookup_time = std::min(timing.resolve_timeout, timing.attempt_budget);
    const std::optional<Lookup> found = lookups.resolve(endpoint.host, lookup_time, timing.step, keep_going);
    if (!found) return out;
    if (!*found || found->value().empty()) {
        out.reason = lookup_error_text(*found ? LookupError{LookupError::Kind::not_found} : found->error());
        return out;
    }
    int worst = 0;
    bool any = false;
    for (const IpAddress& address : connect_order(found->value())) {
        if (!keep_going()) return Connected{};
        if (Clock::now() >= budget_end) break;
        // The handshake, like the connect, runs within the connect time-out.
        const Clock::time_point deadline = std::min(budget_end, Clock::now() + timing.connect_timeout);
        Connect connect = connect_with_deadline(socket_address(address, endpoint.port), deadline, timing.step, keep_going);
        if (connect.error == connect_stopped) return Connected{};
        if (connect.fd) {
            if (!endpoint.tls) {
                out.stream = Stream(std::move(connect.fd));
                return out;
            }
            const TlsSettings tls{true, endpoint.fingerprint, tls_ca};
            TlsSession session =
                tls_connect(connect.fd.get(), bare_host(endpoint.host), tls, deadline, timing.step, keep_going);
            if (session.ssl) {
                out.stream = Stream(std::move(connect.fd), std::move(session));
                return out;
            }
            if (session.reason.empty()) return Connected{};  // stopped
            // The next address would show the same certificate or port.
            out.reason = session.reason;
            return out;
        }
        if (!any || connect_error_weight(connect.error) > connect_error_weight(worst)) worst = connect.error;
        any = true;
    }
    out.reason = any ? socket_error_text(worst) : socket_error_text(connect_timed_out);
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
