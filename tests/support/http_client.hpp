// A small HTTP client on loopback for the status-server tests: raw bytes
// in, everything the server sends until it closes out.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace nolu::qxt::test {

// A connected socket to 127.0.0.1:port, or -1.
int connect_loopback(std::uint16_t port);

// Sends all of bytes (false when the server closed or the send failed).
bool send_all(int fd, const std::string& bytes);

// Reads until the server closes (EOF or reset) or the limit passes; closed
// says which. The descriptor stays open.
struct Received {
    std::string bytes;
    bool closed = false;
};
Received read_until_closed(int fd, std::chrono::milliseconds limit);

struct HttpResult {
    int status = 0;      // 0: no status line (HTTP/1.x) came
    std::string head;    // status line and fields
    std::string body;
    bool closed = false; // the server closed the connection (or refused it)
};

// Splits what a server sent into status, head and body.
HttpResult parse_http_result(const Received& received);

// Sends bytes on a new connection, reads the reply until the server closes.
HttpResult http_exchange(std::uint16_t port, const std::string& bytes,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// "GET <target> HTTP/1.1" with Host and the given extra field lines (each ending in CRLF).
HttpResult http_get(std::uint16_t port, const std::string& target, const std::string& fields = "",
                    std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// The value of a field of the head ("Content-Type"), or empty.
std::string http_field(const HttpResult& result, const std::string& name);

}  // namespace nolu::qxt::test
