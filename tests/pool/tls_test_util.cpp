#include "tls_test_util.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "pool_test_util.hpp"
#include "tests/support/loopback.hpp"

namespace nolu::qxt::test {

namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A P-256 key and a certificate for subject/alt, signed by the CA in dir, or
// self-signed without one.
bool make_leaf(const std::filesystem::path& dir, const std::string& name, const std::string& alt, bool by_ca) {
    const std::string d = dir.string() + "/";
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + d + name + ".key";
    if (!by_ca)
        return run("openssl req -x509 " + key + " -out " + d + name + ".pem -days 2 -subj /CN=" + name +
                   " -addext subjectAltName=" + alt);
    std::ofstream(d + name + ".ext") << "subjectAltName=" << alt << "\n";
    return run("openssl req " + key + " -out " + d + name + ".csr -subj /CN=" + name) &&
           run("openssl x509 -req -in " + d + name + ".csr -CA " + d + "ca.pem -CAkey " + d + "ca.key -CAcreateserial -out " +
               d + name + ".pem -days 2 -extfile " + d + name + ".ext");
}

}  // namespace

TestCerts::TestCerts() {
    char pattern[] = "/tmp/qxt-tls-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    const std::string d = dir_.string() + "/";
    made_ = run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + d + "ca.key -out " +
                d + "ca.pem -days 2 -subj /CN=qxt-test-ca -addext basicConstraints=critical,CA:TRUE") &&
            make_leaf(dir_, "leaf", "DNS:localhost,IP:127.0.0.1", true) &&
            make_leaf(dir_, "other", "DNS:other.test", true) && make_leaf(dir_, "self", "IP:127.0.0.1", false);
}

TestCerts::~TestCerts() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

std::string TestCerts::fingerprint(const std::string& name) const {
    const std::string command = "openssl x509 -noout -fingerprint -sha256 -in " + path(name);
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr) return "";
    std::array<char, 256> line{};
    const bool got = std::fgets(line.data(), line.size(), out) != nullptr;
    ::pclose(out);
    if (!got) return "";
    std::string text(line.data());
    const std::size_t equals = text.find('=');
    text = equals == std::string::npos ? "" : text.substr(equals + 1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

TlsServer::TlsServer(const std::string& cert, const std::string& key) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM);
    listener_ = listen_loopback(0, 16);
    port_ = bound_port(listener_);
    thread_ = std::thread([this] { serve(); });
}

TlsServer::~TlsServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
    SSL_CTX_free(ctx_);
}

std::string TlsServer::received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void TlsServer::serve() {
    while (!stop_.load()) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        if (!refusing_.load()) serve_client(fd);
        ::close(fd);
    }
}

// Blocking reads with a short time-out, so a stop is seen.
void TlsServer::serve_client(int fd) {
    timeval limit{0, 50000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    int accepted = -1;
    for (int tries = 0; tries < 100 && !stop_.load(); ++tries) {
        accepted = SSL_accept(ssl);
        const int code = SSL_get_error(ssl, accepted);
        if (accepted == 1 || (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_SYSCALL)) break;
        if (code == SSL_ERROR_SYSCALL && errno != EAGAIN) break;
    }
    if (accepted == 1) {
        handshakes_.fetch_add(1);
        std::string pending;
        char chunk[4096];
        while (!stop_.load() && !refusing_.load()) {
            const int n = SSL_read(ssl, chunk, sizeof chunk);
            if (n <= 0) {
                if (SSL_get_error(ssl, n) == SSL_ERROR_WANT_READ) continue;
                break;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.append(chunk, static_cast<std::size_t>(n));
            }
            pending.append(chunk, static_cast<std::size_t>(n));
            if (pending.find("\"login\"") != std::string::npos) {
                pending.clear();
                const std::string job = job_line(1) + "\n";
                SSL_write(ssl, job.data(), static_cast<int>(job.size()));
            }
        }
    }
    ERR_clear_error();
    SSL_free(ssl);
}

}  // namespace nolu::qxt::test
