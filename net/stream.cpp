#include "net/stream.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace nolu::qxt {

namespace {

StreamIo plain_result(ssize_t n, short wait_events) {
    StreamIo io;
    if (n > 0) {
        io.kind = StreamIo::Kind::data;
        io.bytes = static_cast<std::size_t>(n);
    } else if (n == 0) {
        io.kind = StreamIo::Kind::closed;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        io.kind = StreamIo::Kind::would_block;
        io.wait_events = wait_events;
    } else {
        io.error = errno;
    }
    return io;
}

StreamIo tls_result(SSL* ssl, int n) {
    StreamIo io;
    if (n > 0) {
        io.kind = StreamIo::Kind::data;
        io.bytes = static_cast<std::size_t>(n);
        return io;
    }
    const int saved_errno = errno;
    const int code = SSL_get_error(ssl, n);
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    switch (code) {
        case SSL_ERROR_WANT_READ:
            io.kind = StreamIo::Kind::would_block;
            io.wait_events = POLLIN;
            return io;
        case SSL_ERROR_WANT_WRITE:
            io.kind = StreamIo::Kind::would_block;
            io.wait_events = POLLOUT;
            return io;
        case SSL_ERROR_ZERO_RETURN:
            io.kind = StreamIo::Kind::closed;
            return io;
        case SSL_ERROR_SYSCALL:
            if (saved_errno == 0 || saved_errno == EPIPE) {
                io.kind = StreamIo::Kind::closed;
            } else if (saved_errno == EAGAIN || saved_errno == EINTR) {
                io.kind = StreamIo::Kind::would_block;
                io.wait_events = POLLIN;
            } else {
                io.error = saved_errno;
            }
            return io;
        default:
            // A pool that closes without close_notify is a close, not an attack
            // on the stream: nothing was accepted from the cut record.
            if (ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING) io.kind = StreamIo::Kind::closed;
            return io;
    }
}

}  // namespace

Stream::Stream(UniqueFd fd, TlsSession session)
    : fd_(std::move(fd)),
      ssl_(std::move(session.ssl)),
      ssl_mutex_(std::make_unique<std::mutex>()),
      version_(std::move(session.version)),
      fingerprint_(std::move(session.fingerprint)) {}

StreamIo Stream::read(char* buffer, std::size_t size) {
    if (!ssl_) return plain_result(::recv(fd_.get(), buffer, size, MSG_DONTWAIT), POLLIN);
    std::lock_guard<std::mutex> lock(*ssl_mutex_);
    errno = 0;
    return tls_result(ssl_.get(), SSL_read(ssl_.get(), buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 20))));
}

StreamIo Stream::write(const char* data, std::size_t size) {
    if (!ssl_) return plain_result(::send(fd_.get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT), POLLOUT);
    std::lock_guard<std::mutex> lock(*ssl_mutex_);
    errno = 0;
    return tls_result(ssl_.get(), SSL_write(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(size, 1 << 20))));
}

bool Stream::buffered() const {
    if (!ssl_) return false;
    std::lock_guard<std::mutex> lock(*ssl_mutex_);
    return SSL_pending(ssl_.get()) > 0;
}

void Stream::shut_down() const {
    if (fd_) ::shutdown(fd_.get(), SHUT_RDWR);
}

}  // namespace nolu::qxt
