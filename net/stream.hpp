// A pool connection's byte stream: the socket and, on a TLS pool, its TLS
// session. Reads and writes never block; after one that would, wait_events
// says what to poll the descriptor for. One thread may read while another
// writes (a TLS session is then used under a lock of its own).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "common/unique_fd.hpp"
#include "net/tls.hpp"

namespace nolu::qxt {

struct StreamIo {
    enum class Kind { data, would_block, closed, error };
    Kind kind = Kind::error;
    std::size_t bytes = 0;   // with data
    int error = 0;           // with error: an errno value (0: a TLS protocol error)
    short wait_events = 0;   // with would_block: POLLIN or POLLOUT
};

class Stream {
public:
    Stream() = default;
    explicit Stream(UniqueFd fd) : fd_(std::move(fd)) {}
    Stream(UniqueFd fd, TlsSession session);
    Stream(Stream&&) noexcept = default;
    Stream& operator=(Stream&&) noexcept = default;

    explicit operator bool() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    bool tls() const { return static_cast<bool>(ssl_); }
    const std::string& tls_version() const { return version_; }
    const std::string& fingerprint() const { return fingerprint_; }

    StreamIo read(char* buffer, std::size_t size);
    StreamIo write(const char* data, std::size_t size);
    // Bytes the TLS session has already decrypted: read them before polling.
    bool buffered() const;
    // Wakes a reader or writer waiting on the socket and ends the connection;
    // safe from any thread while the stream exists.
    void shut_down() const;

private:
    UniqueFd fd_;
    SslHandle ssl_;
    std::unique_ptr<std::mutex> ssl_mutex_;
    std::string version_;
    std::string fingerprint_;
};

}  // namespace nolu::qxt
