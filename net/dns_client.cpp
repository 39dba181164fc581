#include "net/dns_client.hpp"

#include <algorithm>
#include <cerrno>
#include <random>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/dns_message.hpp"
#include "common/timing.hpp"
#include "common/unique_fd.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

// Once one of the two queries has brought addresses, the other gets this
// much longer: some servers never answer AAAA queries at all.
constexpr std::chrono::milliseconds second_answer_grace{500};

std::uint16_t random_id() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<std::uint16_t>(generator());
}

bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, poll_ms_until(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

struct Query {
    explicit Query(std::uint16_t t) : type(t) {}
    std::uint16_t type;
    std::uint16_t id = random_id();
    bool done = false;
    DnsReply reply;
};

// One query over TCP: a two-byte length before each message.
DnsReply ask_over_tcp(const SocketAddress& to, const std::string& wire_name, std::uint16_t type,
                      Clock::time_point deadline) {
    DnsReply failed;
    failed.kind = DnsReply::Kind::not_ours;
    const UniqueFd fd(::socket(to.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return failed;
    if (::connect(fd.get(), to.get(), to.length) != 0) {
        if (errno != EINPROGRESS || !wait_for(fd.get(), POLLOUT, deadline)) return failed;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return failed;
    }
    const std::uint16_t id = random_id();
    const std::vector<std::uint8_t> query = dns_query(id, wire_name, type);
    std::vector<std::uint8_t> framed = {static_cast<std::uint8_t>(query.size() >> 8),
                                        static_cast<std::uint8_t>(query.size())};
    framed.insert(framed.end(), query.begin(), query.end());
    for (std::size_t sent = 0; sent < framed.size();) {
        const ssize_t n = ::send(fd.get(), framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_for(fd.get(), POLLOUT, deadline)) return failed;
        } else {
            return failed;
        }
    }
    std::vector<std::uint8_t> in;
    std::size_t want = 2;
    while (in.size() < want) {
        if (!wait_for(fd.get(), POLLIN, deadline)) return failed;
        std::uint8_t chunk[4096];
        const ssize_t n = ::recv(fd.get(), chunk, std::min(sizeof chunk, want - in.size()), 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return failed;
        in.insert(in.end(), chunk, chunk + n);
        if (want == 2 && in.size() == 2) {
            want = 2 + ((static_cast<std::size_t>(in[0]) << 8) | in[1]);
            if (want == 2) return failed;
        }
    }
    DnsReply reply = parse_dns_reply(in.data() + 2, in.size() - 2, id, wire_name, type);
    reply.truncated = false;  // nothing more to ask for
    return reply;
}

// Both queries over UDP from one connected socket (so only this server's
// datagrams arrive); replies that are not ours are ignored. False when the
// server could not be asked (no route, nothing listening).
bool ask_over_udp(const SocketAddress& to, const std::string& wire_name, std::vector<Query>& queries,
                  Clock::time_point deadline) {
    const UniqueFd fd(::socket(to.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 || ::connect(fd.get(), to.get(), to.length) != 0) return false;
    for (const Query& q : queries) {
        const std::vector<std::uint8_t> message = dns_query(q.id, wire_name, q.type);
        if (::send(fd.get(), message.data(), message.size(), MSG_NOSIGNAL) < 0) return false;
    }
    std::vector<std::uint8_t> buffer(65536);
    auto pending = [&] { return std::any_of(queries.begin(), queries.end(), [](const Query& q) { return !q.done; }); };
    while (pending()) {
        if (!wait_for(fd.get(), POLLIN, deadline)) return true;
        const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;  // e.g. refused: nothing listens there
        }
        for (Query& q : queries) {
            if (q.done) continue;
            DnsReply reply = parse_dns_reply(buffer.data(), static_cast<std::size_t>(n), q.id, wire_name, q.type);
            if (reply.kind == DnsReply::Kind::not_ours) continue;
            q.reply = std::move(reply);
            q.done = true;
            if (!q.reply.addresses.empty()) deadline = std::min(deadline, Clock::now() + second_answer_grace);
            break;
        }
    }
    return true;
}

}  // namespace

ServerAnswer ask_name_server(const IpAddress& server, std::uint16_t port, const std::string& wire_name,
                             std::chrono::milliseconds timeout, bool tcp_only) {
    const SocketAddress to = socket_address(server, port);
    const Clock::time_point deadline = Clock::now() + timeout;
    std::vector<Query> queries = {Query{dns_type_a}, Query{dns_type_aaaa}};
    bool reachable = true;
    if (!tcp_only) reachable = ask_over_udp(to, wire_name, queries, deadline);
    for (Query& q : queries) {
        if (tcp_only || (q.done && q.reply.truncated)) {
            q.reply = ask_over_tcp(to, wire_name, q.type, deadline);
            q.done = q.reply.kind != DnsReply::Kind::not_ours;
        }
    }

    ServerAnswer answer;
    bool nxdomain = false, failure = false, all_answered = true;
    for (const Query& q : queries) {
        if (!q.done) {
            all_answered = false;
            continue;
        }
        answer.addresses.insert(answer.addresses.end(), q.reply.addresses.begin(), q.reply.addresses.end());
        if (q.reply.kind == DnsReply::Kind::no_such_name) nxdomain = true;
        if (q.reply.kind == DnsReply::Kind::server_failure) failure = true;
        if (q.reply.kind != DnsReply::Kind::answer) all_answered = false;
    }
    if (!answer.addresses.empty()) {
        answer.kind = ServerAnswer::Kind::addresses;
    } else if (nxdomain) {
        answer.kind = ServerAnswer::Kind::no_such_name;
    } else if (all_answered) {
        answer.kind = ServerAnswer::Kind::no_data;
    } else if (failure || !reachable) {
        answer.kind = ServerAnswer::Kind::failure;
    } else {
        answer.kind = ServerAnswer::Kind::timed_out;
    }
    return answer;
}

}  // namespace nolu::qxt
