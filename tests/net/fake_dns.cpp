#include "fake_dns.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.hpp"

namespace nolu::qxt::test {

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

std::vector<std::uint8_t> wire(const std::string& name) {
    std::vector<std::uint8_t> out;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        out.push_back(static_cast<std::uint8_t>(dot - start));
        out.insert(out.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    out.push_back(0);
    return out;
}

}  // namespace

FakeDns::FakeDns() {
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    port_ = bind_loopback(udp_);
    tcp_ = listen_loopback(port_, 8);  // TCP on the same port
    if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { serve(); });
}

FakeDns::~FakeDns() {
    const char byte = 0;
    if (::write(wake_[1], &byte, 1) < 0) {
    }
    thread_.join();
    for (const int fd : {udp_, tcp_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void FakeDns::set(const std::string& name, Entry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    table_[name] = std::move(entry);
}

std::vector<std::string> FakeDns::asked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
}

void FakeDns::serve() {
    for (;;) {
        pollfd p[3] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 3, -1) < 0 && errno != EINTR) return;
        if (p[2].revents != 0) return;
        if (p[0].revents & POLLIN) {
            std::uint8_t buffer[2048];
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n > 0 && !silent_) {
                const std::vector<std::uint8_t> reply = answer(buffer, static_cast<std::size_t>(n), true);
                if (!reply.empty())
                    ::sendto(udp_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        }
        if (p[1].revents & POLLIN) {
            const int client = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                serve_tcp_client(client);
                ::close(client);
            }
        }
    }
}

void FakeDns::serve_tcp_client(int fd) {
    std::vector<std::uint8_t> in;
    while (in.size() < 2 || in.size() < 2u + ((in[0] << 8) | in[1])) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) return;
        std::uint8_t chunk[1024];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        in.insert(in.end(), chunk, chunk + n);
    }
    if (silent_) return;
    const std::vector<std::uint8_t> reply = answer(in.data() + 2, in.size() - 2, false);
    std::vector<std::uint8_t> framed;
    put16(framed, static_cast<std::uint16_t>(reply.size()));
    framed.insert(framed.end(), reply.begin(), reply.end());
    ::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
}

std::vector<std::uint8_t> FakeDns::answer(const std::uint8_t* query, std::size_t size, bool over_udp) {
    // The question: uncompressed labels, type, class.
    std::size_t at = 12;
    std::string name;
    while (at < size && query[at] != 0) {
        const std::size_t length = query[at];
        if (at + 1 + length > size) return {};
        if (!name.empty()) name.push_back('.');
        name.append(reinterpret_cast<const char*>(query + at + 1), length);
        at += 1 + length;
    }
    if (at + 5 > size) return {};
    const std::size_t question_end = at + 5;
    const std::uint16_t type = static_cast<std::uint16_t>((query[at + 1] << 8) | query[at + 2]);

    Entry entry;
    entry.no_such_name = true;
    Entry target;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        asked_.push_back(name + (over_udp ? "" : "/tcp"));
        if (const auto found = table_.find(name); found != table_.end()) entry = found->second;
        if (!entry.alias.empty()) {
            const auto found = table_.find(entry.alias);
            target = found != table_.end() ? found->second : Entry{};
        }
    }
    std::vector<std::uint8_t> reply(query, query + question_end);
    std::uint16_t flags = 0x8180;  // a reply, recursion desired and available
    if (entry.no_such_name) flags |= 3;
    if (entry.refuse) flags |= 5;
    const bool truncated = over_udp && truncate_udp_;
    if (truncated) flags |= 0x0200;
    reply[2] = static_cast<std::uint8_t>(flags >> 8);
    reply[3] = static_cast<std::uint8_t>(flags);
    reply[6] = reply[7] = reply[8] = reply[9] = reply[10] = reply[11] = 0;
    if (entry.no_such_name || entry.refuse || truncated) return reply;

    std::uint16_t answers = 0;
    std::uint16_t owner = 0xC00C;  // a pointer to the question's name
    const std::vector<IpAddress>* addresses = &entry.addresses;
    if (!entry.alias.empty()) {
        put16(reply, owner);
        put16(reply, 5);
        put16(reply, 1);
        put16(reply, 0);
        put16(reply, 60);
        const std::vector<std::uint8_t> alias = wire(entry.alias);
        put16(reply, static_cast<std::uint16_t>(alias.size()));
        owner = static_cast<std::uint16_t>(0xC000 | reply.size());  // the records below point at the alias
        reply.insert(reply.end(), alias.begin(), alias.end());
        ++answers;
        addresses = &target.addresses;
    }
    for (const IpAddress& address : *addresses) {
        if (address.v6 != (type == 28)) continue;
        put16(reply, owner);
        put16(reply, type);
        put16(reply, 1);
        put16(reply, 0);
        put16(reply, 60);
        const std::size_t length = address.v6 ? 16 : 4;
        put16(reply, static_cast<std::uint16_t>(length));
        reply.insert(reply.end(), address.bytes.begin(), address.bytes.begin() + static_cast<long>(length));
        ++answers;
    }
    reply[6] = static_cast<std::uint8_t>(answers >> 8);
    reply[7] = static_cast<std::uint8_t>(answers);
    return reply;
}

FakeRoot::FakeRoot() {
    static std::atomic<int> counter{0};
    path_ = (std::filesystem::temp_directory_path() /
             ("qxt-root-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1))))
                .string();
    std::filesystem::create_directories(path_ + "/etc");
}

FakeRoot::~FakeRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void FakeRoot::write(const std::string& relative, const std::string& text) {
    std::ofstream(path_ + "/" + relative, std::ios::binary) << text;
}

}  // namespace nolu::qxt::test
