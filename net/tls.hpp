// The client side of TLS (OpenSSL 3): one context per setting, the
// handshake over a connected socket within a deadline, and the check of the
// pool's certificate (its chain and name against the CA store, or its
// SHA-256 fingerprint when pinned). Nothing is sent over the session before
// the check has passed.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct ssl_st;

namespace nolu::qxt {

struct TlsSettings {
    bool enabled = false;
    std::string fingerprint;  // 64 lower-case hexadecimal digits; empty: verify against the CA store
    std::string ca_file;      // a private CA's PEM file; empty: the system's store
    bool operator==(const TlsSettings&) const = default;
};

// "AB:CD:..." or "abcd..." (64 hexadecimal digits, colons anywhere) to 64
// lower-case digits; nothing for anything else.
std::optional<std::string> normal_fingerprint(std::string_view text);

struct SslFree {
    void operator()(ssl_st* ssl) const;
};
using SslHandle = std::unique_ptr<ssl_st, SslFree>;

struct TlsSession {
    SslHandle ssl;            // empty on failure
    std::string version;      // "TLSv1.3"
    std::string fingerprint;  // the leaf certificate's SHA-256, 64 lower-case digits
    std::string reason;       // why not: "certificate not trusted (...)", "TLS handshake timed out", ...
};

// Runs the handshake over fd (connected, non-blocking) with SNI and the
// host name check for host (a name, or an IP address without brackets).
// Gives up at deadline, or (empty reason) once keep_going turns false.
TlsSession tls_connect(int fd, const std::string& host, const TlsSettings& settings,
                       std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds step,
                       const std::function<bool()>& keep_going);

// Whether the bytes a pool sent first look like a TLS record (a handshake or
// an alert), as a TLS port answers plain text.
bool looks_like_tls(std::string_view first_bytes);

}  // namespace nolu::qxt
