#include "tests/support/http_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

namespace nolu::qxt::test {

int connect_loopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

Received read_until_closed(int fd, std::chrono::milliseconds limit) {
    Received r;
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return r;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            r.closed = true;
            return r;
        }
        r.bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

HttpResult parse_http_result(const Received& received) {
    HttpResult result;
    result.closed = received.closed;
    const std::string& bytes = received.bytes;
    const std::size_t end = bytes.find("\r\n\r\n");
    if (bytes.compare(0, 7, "HTTP/1.") != 0 || bytes.size() < 12 || end == std::string::npos) return result;
    result.head = bytes.substr(0, end + 2);
    result.body = bytes.substr(end + 4);
    for (std::size_t i = 9; i < 12 && std::isdigit(static_cast<unsigned char>(bytes[i])); ++i)
        result.status = result.status * 10 + (bytes[i] - '0');
    return result;
}

HttpResult http_exchange(std::uint16_t port, const std::string& bytes, std::chrono::milliseconds limit) {
    const int fd = connect_loopback(port);
    if (fd < 0) {
        HttpResult refused;
        refused.closed = true;
        return refused;
    }
    send_all(fd, bytes);
    const Received received = read_until_closed(fd, limit);
    ::close(fd);
    return parse_http_result(received);
}

HttpResult http_get(std::uint16_t port, const std::string& target, const std::string& fields,
                    std::chrono::milliseconds limit) {
    return http_exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields + "\r\n", limit);
}

std::string http_field(const HttpResult& result, const std::string& name) {
    std::size_t at = 0;
    while ((at = result.head.find("\r\n", at)) != std::string::npos) {
        at += 2;
        const std::size_t colon = result.head.find(':', at);
        const std::size_t eol = result.head.find("\r\n", at);
        if (colon == std::string::npos || eol == std::string::npos || colon > eol) continue;
        std::string field = result.head.substr(at, colon - at);
        for (char& c : field) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string wanted = name;
        for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (field != wanted) continue;
        std::size_t value = colon + 1;
        while (value < eol && result.head[value] == ' ') ++value;
        return result.head.substr(value, eol - value);
    }
    return "";
}

}  // namespace nolu::qxt::test
