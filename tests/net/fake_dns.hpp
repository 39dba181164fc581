// A name server for the resolver tests on 127.0.0.1: UDP and TCP on one
// port, answering A and AAAA queries from a table, or staying silent, or
// sending only truncated replies over UDP.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/ip_address.hpp"

namespace nolu::qxt::test {

class FakeDns {
public:
    struct Entry {
        std::vector<IpAddress> addresses;  // A and AAAA records, as asked
        std::string alias;                 // a CNAME to this name instead (answered with its records)
        bool no_such_name = false;
        bool refuse = false;               // REFUSED
    };

    FakeDns();
    ~FakeDns();
    FakeDns(const FakeDns&) = delete;
    FakeDns& operator=(const FakeDns&) = delete;

    std::uint16_t port() const { return port_; }
    // name in lower case without a trailing dot; names not set are NXDOMAIN.
    void set(const std::string& name, Entry entry);
    void set_silent(bool silent) { silent_ = silent; }
    void set_truncate_udp(bool truncate) { truncate_udp_ = truncate; }
    // The names asked for, one per query, with "/tcp" after those over TCP.
    std::vector<std::string> asked();

private:
    void serve();
    std::vector<std::uint8_t> answer(const std::uint8_t* query, std::size_t size, bool over_udp);
    void serve_tcp_client(int fd);

    int udp_ = -1;
    int tcp_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<bool> silent_{false};
    std::atomic<bool> truncate_udp_{false};
    std::mutex mutex_;
    std::map<std::string, Entry> table_;
    std::vector<std::string> asked_;
    std::thread thread_;
};

// A directory with etc/hosts and etc/resolv.conf for resolve_host's root.
class FakeRoot {
public:
    FakeRoot();
    ~FakeRoot();
    const std::string& path() const { return path_; }
    void write(const std::string& relative, const std::string& text);

private:
    std::string path_;
};

}  // namespace nolu::qxt::test
