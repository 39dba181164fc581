// TLS for the pool tests: throw-away certificates made with the openssl tool
// in a temporary folder, and a TLS pool on 127.0.0.1 that answers a login
// with a job.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

struct ssl_ctx_st;

namespace nolu::qxt::test {

// A CA and a leaf it signed for localhost and 127.0.0.1, a leaf for another
// name signed by the same CA, and a self-signed leaf for 127.0.0.1.
class TestCerts {
public:
    TestCerts();
    ~TestCerts();
    bool made() const { return made_; }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // The SHA-256 fingerprint of a certificate file, as openssl prints it (AB:CD:...).
    std::string fingerprint(const std::string& name) const;

private:
    std::filesystem::path dir_;
    bool made_ = false;
};

class TlsServer {
public:
    // Serves with the certificate chain and key files given, one client at a time.
    TlsServer(const std::string& cert, const std::string& key);
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    std::uint16_t port() const { return port_; }
    // Everything received over TLS so far, from every client.
    std::string received();
    int handshakes() const { return handshakes_.load(); }
    // While refusing, every connection is closed at once, before any handshake.
    void set_refusing(bool refusing) { refusing_ = refusing; }

private:
    void serve();
    void serve_client(int fd);

    ssl_ctx_st* ctx_ = nullptr;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> refusing_{false};
    std::atomic<int> handshakes_{0};
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

}  // namespace nolu::qxt::test
