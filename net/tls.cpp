#include "net/tls.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "common/hex.hpp"
#include "net/ip_address.hpp"

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

// Debian's and Ubuntu's CA store (HiveOS has it too). A static OpenSSL's
// built-in default directory is that of the machine it was built for, so
// the store is named here.
constexpr const char* ca_bundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr const char* ca_directory = "/etc/ssl/certs";

struct CtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};

// The rig's own OpenSSL configuration (openssl.cnf, OPENSSL_CONF) and its
// loadable modules never come into play: the binary carries its OpenSSL.
bool library_ready() {
    static const bool ready = OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
    return ready;
}

// One context per CA file, made on first use and kept.
SSL_CTX* context_for(const std::string& ca_file) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<SSL_CTX, CtxFree>> contexts;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = contexts[ca_file];
    if (slot) return slot.get();
    std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // The chain is checked after the handshake (tls_check), so that a pinned
    // fingerprint can stand in for it; until then nothing is sent.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (ca_file.empty()) {
        SSL_CTX_load_verify_locations(ctx.get(), ca_bundle, nullptr);
        SSL_CTX_load_verify_locations(ctx.get(), nullptr, ca_directory);
    } else if (SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr) != 1) {
        ERR_clear_error();
        contexts.erase(ca_file);
        return nullptr;
    }
    ERR_clear_error();
    slot = std::move(ctx);
    return slot.get();
}

std::string leaf_fingerprint(SSL* ssl) {
    X509* leaf = SSL_get0_peer_certificate(ssl);
    if (leaf == nullptr) return "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(leaf, EVP_sha256(), digest, &length) != 1) return "";
    return hex_encode(digest, length);
}

// Why a handshake failed, in the user's terms.
std::string handshake_failure(int code) {
    const unsigned long error = ERR_peek_last_error();
    const int reason = ERR_GET_REASON(error);
    ERR_clear_error();
    if (code == SSL_ERROR_SSL) {
        switch (reason) {
            case SSL_R_WRONG_VERSION_NUMBER:
            case SSL_R_PACKET_LENGTH_TOO_LONG:
            case SSL_R_HTTPS_PROXY_REQUEST:
            case SSL_R_HTTP_REQUEST:
                return "TLS handshake failed: the port speaks plain TCP, not TLS (use a tcp:// URL)";
            case SSL_R_UNEXPECTED_EOF_WHILE_READING:
                return "TLS handshake failed: the pool closed the connection (does the port speak TLS?)";
            default:
                break;
        }
        const char* text = ERR_reason_error_string(error);
        return std::string("TLS handshake failed (") + (text != nullptr ? text : "protocol error") + ")";
    }
    return "TLS handshake failed: the pool closed the connection (does the port speak TLS?)";
}

// The check of the pool's certificate once the handshake is done.
std::string certificate_refusal(SSL* ssl, const std::string& host, const TlsSettings& settings,
                                const std::string& fingerprint) {
    if (fingerprint.empty()) return "the pool sent no certificate";
    if (!settings.fingerprint.empty()) {
        if (fingerprint == settings.fingerprint) return "";
        return "certificate fingerprint mismatch: the pool's is " + fingerprint + ", --tls-fingerprint gives " +
               settings.fingerprint;
    }
    const long result = SSL_get_verify_result(ssl);
    if (result == X509_V_OK) return "";
    if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
        return "certificate name mismatch: it is not for " + host;
    return std::string("certificate not trusted (") + X509_verify_cert_error_string(result) +
           "); to pin it: --tls-fingerprint " + fingerprint;
}

void prepare(SSL* ssl, const std::string& host) {
    if (parse_ip_literal(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, host.c_str());
    }
}

}  // namespace

void SslFree::operator()(ssl_st* ssl) const { SSL_free(ssl); }

std::optional<std::string> normal_fingerprint(std::string_view text) {
    std::string digits;
    for (const char c : text) {
        if (c == ':') continue;
        if (hex_digit(c) < 0) return std::nullopt;
        digits.push_back(static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c));
    }
    if (digits.size() != 64) return std::nullopt;
    return digits;
}

bool looks_like_tls(std::string_view first) {
    return first.size() >= 2 && (first[0] == '\x15' || first[0] == '\x16') && first[1] == '\x03';
}

TlsSession tls_connect(int fd, const std::string& host, const TlsSettings& settings, Clock::time_point deadline,
                       std::chrono::milliseconds step, const std::function<bool()>& keep_going) {
    TlsSession out;
    SSL_CTX* ctx = library_ready() ? context_for(settings.ca_file) : nullptr;
    if (ctx == nullptr) {
        out.reason = settings.ca_file.empty() ? "TLS is not available" : "cannot read --tls-ca " + settings.ca_file;
        return out;
    }
    SslHandle ssl(SSL_new(ctx));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) {
        out.reason = "TLS is not available";
        return out;
    }
    prepare(ssl.get(), host);
    step = std::max(step, std::chrono::milliseconds(1));
    for (;;) {
        ERR_clear_error();
        const int done = SSL_connect(ssl.get());
        if (done == 1) break;
        const int code = SSL_get_error(ssl.get(), done);
        if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) {
            out.reason = handshake_failure(code);
            return out;
        }
        for (;;) {
            if (!keep_going()) return TlsSession{};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                out.reason = "TLS handshake timed out (does the port speak TLS?)";
                return out;
            }
            pollfd p{fd, static_cast<short>(code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
            if (::poll(&p, 1, static_cast<int>(std::min(left, step).count())) > 0) break;
        }
    }
    out.version = SSL_get_version(ssl.get());
    out.fingerprint = leaf_fingerprint(ssl.get());
    out.reason = certificate_refusal(ssl.get(), host, settings, out.fingerprint);
    if (out.reason.empty()) out.ssl = std::move(ssl);
    return out;
}

}  // namespace nolu::qxt
