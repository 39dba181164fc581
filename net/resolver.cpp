#include "net/resolver.hpp"

#include <ares.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

// RFC 6761: "localhost" and every name below it are the loopback host,
// whatever the DNS says.
bool is_localhost(const std::string& name) {
    static const std::string suffix = ".localhost";
    return name == "localhost" ||
           (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
}

// Control bytes, blanks and the like cannot be in a name worth asking for.
bool plausible_name(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.front() == '[') return false;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F || c == '/' || c == '\\') return false;
    }
    return true;
}

std::string below_root(const std::string& root, const char* relative) {
    std::string path = root.empty() ? "/" : root;
    if (path.back() != '/') path.push_back('/');
    return path + relative;
}

bool library_ready() {
    static const bool ready = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
    return ready;
}

struct Answer {
    bool done = false;
    int status = ARES_SUCCESS;
    std::vector<IpAddress> addresses;
};

void add_unique(std::vector<IpAddress>& out, const IpAddress& address) {
    if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
}

void on_answer(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
    auto& answer = *static_cast<Answer*>(arg);
    answer.done = true;
    answer.status = status;
    if (result == nullptr) return;
    for (const ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
        IpAddress address;
        if (node->ai_family == AF_INET && node->ai_addr != nullptr) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(node->ai_addr);
            std::memcpy(address.bytes.data(), &v4->sin_addr, 4);
        } else if (node->ai_family == AF_INET6 && node->ai_addr != nullptr) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(node->ai_addr);
            address.v6 = true;
            std::memcpy(address.bytes.data(), &v6->sin6_addr, 16);
            address.scope = v6->sin6_scope_id;
        } else {
            continue;
        }
        add_unique(answer.addresses, address);
    }
    ares_freeaddrinfo(result);
    std::stable_sort(answer.addresses.begin(), answer.addresses.end(),
                     [](const IpAddress& a, const IpAddress& b) { return !a.v6 && b.v6; });
}

// Runs the channel until the answer came or the deadline passed (then the
// query is cancelled and counts as timed out).
void run_channel(ares_channel channel, Answer& answer, Clock::time_point give_up) {
    while (!answer.done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now());
        if (left.count() <= 0) {
            ares_cancel(channel);
            answer.status = ARES_ETIMEOUT;
            return;
        }
        ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
        const int mask = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
        pollfd polled[ARES_GETSOCK_MAXNUM];
        nfds_t count = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            short events = 0;
            if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
            if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
            if (events != 0) polled[count++] = pollfd{sockets[i], events, 0};
        }
        timeval cap{static_cast<time_t>(left.count() / 1000), static_cast<suseconds_t>(left.count() % 1000 * 1000)};
        timeval next{};
        const timeval* wait = ares_timeout(channel, &cap, &next);
        const int ms = static_cast<int>(wait->tv_sec * 1000 + (wait->tv_usec + 999) / 1000);
        if (::poll(polled, count, ms) <= 0) {
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            continue;
        }
        for (nfds_t i = 0; i < count && !answer.done; ++i) {
            const bool readable = (polled[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            const bool writable = (polled[i].revents & POLLOUT) != 0;
            if (readable || writable)
                ares_process_fd(channel, readable ? polled[i].fd : ARES_SOCKET_BAD,
                                writable ? polled[i].fd : ARES_SOCKET_BAD);
        }
    }
}

Lookup to_lookup(const Answer& answer) {
    switch (answer.status) {
        case ARES_SUCCESS:
            if (answer.addresses.empty()) return LookupError{LookupError::Kind::not_found};
            return answer.addresses;
        case ARES_ENOTFOUND:
        case ARES_ENODATA:
        case ARES_ENONAME:
        case ARES_EBADNAME:
            return LookupError{LookupError::Kind::not_found};
        case ARES_ETIMEOUT:
        case ARES_ECANCELLED:
            return LookupError{LookupError::Kind::timed_out};
        default:
            return LookupError{LookupError::Kind::failed};
    }
}

// One lookup on a channel of its own: resolv.conf is read afresh each time,
// as a rig's network may have changed since the last one. lookups is
// c-ares's order of sources: "f" the hosts file, "b" the name servers.
Lookup ask(const std::string& name, const ResolverSettings& settings, const char* lookups) {
    if (!library_ready()) return LookupError{LookupError::Kind::failed};
    ares_options options{};
    int mask = ARES_OPT_LOOKUPS;
    options.lookups = const_cast<char*>(lookups);
    const std::string resolv_conf = below_root(settings.root, "etc/resolv.conf");
    if (settings.root != "/") {
        options.resolvconf_path = const_cast<char*>(resolv_conf.c_str());
        mask |= ARES_OPT_RESOLVCONF;
    }
    if (settings.dns_port != 53) {
        options.udp_port = options.tcp_port = settings.dns_port;
        mask |= ARES_OPT_UDP_PORT | ARES_OPT_TCP_PORT;
    }
    if (settings.try_timeout.count() > 0) {
        options.timeout = static_cast<int>(settings.try_timeout.count());
        mask |= ARES_OPT_TIMEOUTMS;
    }
    if (settings.tries > 0) {
        options.tries = settings.tries;
        mask |= ARES_OPT_TRIES;
    }
    ares_channel channel = nullptr;
    if (ares_init_options(&channel, &options, mask) != ARES_SUCCESS) return LookupError{LookupError::Kind::failed};
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = ARES_AI_NOSORT;
    // Another tree's hosts file: c-ares takes its path from the environment
    // only (tests alone give a root), and reads it inside ares_getaddrinfo,
    // so the lock holds across that call.
    static std::mutex environment;
    std::unique_lock<std::mutex> lock(environment, std::defer_lock);
    if (settings.root != "/") {
        lock.lock();
        ::setenv("CARES_HOSTS", below_root(settings.root, "etc/hosts").c_str(), 1);
        hints.ai_flags |= ARES_AI_ENVHOSTS;
    }
    Answer answer;
    ares_getaddrinfo(channel, name.c_str(), nullptr, &hints, on_answer, &answer);
    if (lock.owns_lock()) lock.unlock();
    run_channel(channel, answer, Clock::now() + settings.budget);
    ares_destroy(channel);
    return to_lookup(answer);
}

}  // namespace

const char* lookup_error_text(LookupError error) {
    switch (error.kind) {
        case LookupError::Kind::not_found:
            return "name not found";
        case LookupError::Kind::timed_out:
            return "name lookup timed out";
        case LookupError::Kind::failed:
            return "name lookup failed";
    }
    return "name lookup failed";
}

std::string normal_host_name(std::string_view name) {
    std::string out(name);
    if (!out.empty() && out.back() == '.') out.pop_back();
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

Lookup resolve_host(std::string_view host, const ResolverSettings& settings) {
    if (const std::optional<IpAddress> literal = parse_ip_literal(host)) return std::vector<IpAddress>{*literal};
    const std::string name = normal_host_name(host);
    if (!plausible_name(name)) return LookupError{LookupError::Kind::not_found};
    if (is_localhost(name)) {
        Lookup listed = ask(name, settings, "f");
        if (listed) return listed;
        return std::vector<IpAddress>{ipv4(127, 0, 0, 1), ipv6_loopback()};
    }
    return ask(name, settings, "fb");
}

}  // namespace nolu::qxt
