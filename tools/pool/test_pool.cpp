// qxt-test-pool: a small mining pool for development and tests, on 127.0.0.1.
//
// It speaks the miner's JSON-lines protocol: answers logins with a job, sends
// a new job every --job-every seconds, and answers share submissions. Every
// claimed hash it can fit in is recomputed independently with libargon2
// before the share is accepted; when shares arrive faster than one core can
// recompute them (about 1.6 s each), the excess is accepted after the cheap
// checks only and logged as "unchecked". With --tls-cert and --tls-key it
// speaks TLS (OpenSSL) on its port instead of plain TCP.
#include <argon2.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/hex.hpp"
#include "common/json.hpp"

using nolu::qxt::JsonValue;

namespace {

struct Settings {
    int port = 0;
    std::string port_file;
    std::string target = "20" + std::string(62, 'f');
    std::string network_target = std::string(64, '0');
    int job_every = 60;
    std::string reject;            // non-empty: every share gets this error
    int close_after_shares = 0;    // non-zero: drop the connection after that many shares
    int check_queue = 2;           // shares waiting for a full recomputation at most
    std::uint64_t nonce_start = 0;
    std::uint64_t height = 1000;
    std::uint64_t difficulty = 8;
    bool verbose = false;          // log every received line as it came
    std::string tls_cert;          // PEM certificate (chain) and key: speak TLS
    std::string tls_key;
};

Settings settings;
std::atomic<bool> stopping{false};
SSL_CTX* tls_context = nullptr;  // set when the pool speaks TLS
std::mutex log_mutex;

void log(const std::string& text) {
    std::lock_guard<std::mutex> lock(log_mutex);
    std::printf("[pool] %s\n", text.c_str());
    std::fflush(stdout);
}

std::string hex(const std::uint8_t* bytes, std::size_t n) { return nolu::qxt::hex_encode(bytes, n); }

bool unhex(const std::string& s, std::uint8_t* out, std::size_t n) { return nolu::qxt::hex_decode(s, out, n); }

struct JobInfo {
    std::string id;
    std::uint8_t header[92];
    std::uint8_t target[32];
    std::uint64_t height;
};

// Jobs by id (the newest few), shared by all connections.
std::mutex jobs_mutex;
std::map<std::string, JobInfo> jobs;
std::deque<std::string> job_order;
std::set<std::pair<std::string, std::uint64_t>> seen_shares;
std::uint64_t job_number = 0;
std::mt19937_64 rng{std::random_device{}()};

JobInfo make_job() {
    std::lock_guard<std::mutex> lock(jobs_mutex);
    JobInfo job;
    job.id = "job-" + std::to_string(++job_number);
    for (auto& b : job.header) b = static_cast<std::uint8_t>(rng());
    unhex(settings.target, job.target, 32);
    job.height = settings.height + job_number - 1;
    jobs[job.id] = job;
    job_order.push_back(job.id);
    while (job_order.size() > 8) {
        jobs.erase(job_order.front());
        job_order.pop_front();
    }
    return job;
}

std::string job_members(const JobInfo& job) {
    return "\"job_id\":\"" + job.id + "\",\"header_base\":\"" + hex(job.header, 92) + "\",\"target\":\"" +
           settings.target + "\",\"network_target\":\"" + settings.network_target +
           "\",\"height\":" + std::to_string(job.height) + ",\"nonce_start\":" + std::to_string(settings.nonce_start) +
           ",\"difficulty\":" + std::to_string(settings.difficulty);
}

// The independent check: libargon2 with a reused 2 GiB buffer.
std::uint8_t* check_memory = nullptr;
int give_memory(std::uint8_t** memory, std::size_t bytes) {
    if (check_memory == nullptr) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return ARGON2_MEMORY_ALLOCATION_ERROR;
        madvise(p, bytes, MADV_HUGEPAGE);
        check_memory = static_cast<std::uint8_t*>(p);
    }
    *memory = check_memory;
    return ARGON2_OK;
}
void keep_memory(std::uint8_t*, std::size_t) {}

bool recompute(const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    std::uint8_t pwd[8];
    for (int i = 0; i < 8; ++i) pwd[i] = static_cast<std::uint8_t>(nonce >> (8 * i));
    std::uint8_t salt[92];
    std::memcpy(salt, header, 92);
    argon2_context ctx{};
    ctx.out = out;
    ctx.outlen = 32;
    ctx.pwd = pwd;
    ctx.pwdlen = 8;
    ctx.salt = salt;
    ctx.saltlen = 92;
    ctx.t_cost = 1;
    ctx.m_cost = 2097152;
    ctx.lanes = 1;
    ctx.threads = 1;
    ctx.version = ARGON2_VERSION_13;
    ctx.allocate_cbk = give_memory;
    ctx.free_cbk = keep_memory;
    return argon2_ctx(&ctx, Argon2_id) == ARGON2_OK;
}

class Connection;

struct Check {
    std::shared_ptr<Connection> conn;
    std::uint64_t id;
    JobInfo job;
    std::uint64_t nonce;
    std::uint8_t claimed[32];
};

std::mutex check_mutex;
std::condition_variable check_cv;
std::deque<Check> checks;

class Connection : public std::enable_shared_from_this<Connection> {
public:
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection() {
        if (ssl_ != nullptr) SSL_free(ssl_);
        close(fd_);
    }

    // The TLS handshake (blocking, at most 10 s); false when it failed.
    bool accept_tls() {
        timeval limit{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ssl_ = SSL_new(tls_context);
        SSL_set_fd(ssl_, fd_);
        const bool ok = SSL_accept(ssl_) == 1;
        if (!ok) {
            char text[256];
            ERR_error_string_n(ERR_get_error(), text, sizeof text);
            log(std::string("TLS handshake failed: ") + text);
        }
        ERR_clear_error();
        timeval none{0, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        return ok;
    }

    void send(const std::string& line) {
        std::lock_guard<std::mutex> lock(send_mutex_);
        std::string data = line + "\n";
        std::size_t off = 0;
        while (off < data.size()) {
            ssize_t n;
            if (ssl_ != nullptr) {
                std::lock_guard<std::mutex> io(ssl_mutex_);
                n = SSL_write(ssl_, data.data() + off, static_cast<int>(data.size() - off));
            } else {
                n = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            }
            if (n <= 0) return;
            off += static_cast<std::size_t>(n);
        }
    }
    void hang_up() { shutdown(fd_, SHUT_RDWR); }
    bool alive() const { return alive_.load(); }

    void serve() {
        std::string buffer;
        char chunk[8192];
        while (!stopping.load()) {
            if (!pending()) {
                pollfd p{fd_, POLLIN, 0};
                const int r = poll(&p, 1, 200);
                if (r < 0) break;
                if (r == 0) continue;
            }
            const ssize_t n = receive(chunk, sizeof chunk);
            if (n == -2) continue;  // TLS bytes that held no data yet
            if (n <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = buffer.find('\n')) != std::string::npos) {
                const std::string line = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                handle(line);
            }
        }
        alive_ = false;
        log("disconnected");
    }

private:
    bool pending() {
        if (ssl_ == nullptr) return false;
        std::lock_guard<std::mutex> io(ssl_mutex_);
        return SSL_pending(ssl_) > 0;
    }

    // What recv gives; -2 when a TLS record brought no data yet.
    ssize_t receive(char* buffer, std::size_t size) {
        if (ssl_ == nullptr) return recv(fd_, buffer, size, 0);
        std::lock_guard<std::mutex> io(ssl_mutex_);
        const int n = SSL_read(ssl_, buffer, static_cast<int>(size));
        if (n > 0) return n;
        const int code = SSL_get_error(ssl_, n);
        ERR_clear_error();
        return code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE ? -2 : 0;
    }

    void handle(const std::string& line) {
        if (settings.verbose) log("recv " + line);
        JsonValue v;
        if (!nolu::qxt::json_parse(line, v)) {
            log("bad line");
            return;
        }
        const std::string method = nolu::qxt::json_string_or(v, "method", "");
        const std::uint64_t id = nolu::qxt::json_u64_or(v, "id", 0);
        const JsonValue* params = nolu::qxt::json_find(v, "params");
        if (method == "login" && params != nullptr) {
            const JobInfo job = make_job();
            log("login address=" + nolu::qxt::json_string_or(*params, "address", "") +
                " worker=" + nolu::qxt::json_string_or(*params, "worker", ""));
            send("{\"id\":1,\"result\":{" + job_members(job) + "},\"status\":\"OK\"}");
            log("job " + job.id + " sent");
        } else if (method == "submit" && params != nullptr) {
            submit(id, *params);
        } else {
            send("{\"id\":" + std::to_string(id) + ",\"error\":\"unknown method\"}");
        }
    }

    void submit(std::uint64_t id, const JsonValue& params) {
        const std::string job_id = nolu::qxt::json_string_or(params, "job_id", "");
        const std::uint64_t nonce = nolu::qxt::json_u64_or(params, "nonce", 0);
        const std::string claimed_hex = nolu::qxt::json_string_or(params, "claimed_hash", "");
        ++shares_;
        auto answer = [&](const std::string& error) {
            if (error.empty()) {
                send("{\"id\":" + std::to_string(id) + ",\"status\":\"OK\"}");
            } else {
                send("{\"id\":" + std::to_string(id) + ",\"error\":\"" + error + "\"}");
            }
        };
        Check check;
        check.id = id;
        check.nonce = nonce;
        std::string error;
        {
            std::lock_guard<std::mutex> lock(jobs_mutex);
            const auto it = jobs.find(job_id);
            if (it == jobs.end()) {
                error = "unknown job";
            } else if (!unhex(claimed_hex, check.claimed, 32)) {
                error = "bad claimed_hash";
            } else if (std::memcmp(check.claimed, it->second.target, 32) > 0) {
                error = "low difficulty share";
            } else if (!seen_shares.insert({job_id, nonce}).second) {
                error = "duplicate share";
            } else {
                check.job = it->second;
            }
        }
        if (error.empty() && !settings.reject.empty()) error = settings.reject;
        if (!error.empty()) {
            log("share id=" + std::to_string(id) + " job=" + job_id + " nonce=" + std::to_string(nonce) +
                " rejected: " + error);
            answer(error);
        } else {
            bool queued = false;
            {
                std::lock_guard<std::mutex> lock(check_mutex);
                if (static_cast<int>(checks.size()) < settings.check_queue) {
                    check.conn = shared_from_this();
                    checks.push_back(check);
                    queued = true;
                }
            }
            if (queued) {
                check_cv.notify_one();
            } else {
                log("share id=" + std::to_string(id) + " job=" + job_id + " nonce=" + std::to_string(nonce) +
                    " accepted unchecked (checker busy)");
                answer("");
            }
        }
        if (settings.close_after_shares > 0 && shares_ >= settings.close_after_shares) {
            log("closing the connection after " + std::to_string(shares_) + " share(s)");
            shares_ = 0;
            hang_up();
        }
    }

    int fd_;
    SSL* ssl_ = nullptr;
    std::mutex ssl_mutex_;  // one SSL call at a time (the reader and the senders)
    std::mutex send_mutex_;
    std::atomic<bool> alive_{true};
    int shares_ = 0;
};

std::mutex conns_mutex;
std::vector<std::weak_ptr<Connection>> conns;

void checker() {
    for (;;) {
        Check c;
        {
            std::unique_lock<std::mutex> lock(check_mutex);
            check_cv.wait(lock, [] { return !checks.empty() || stopping.load(); });
            if (stopping.load()) return;
            c = checks.front();
        }
        std::uint8_t actual[32];
        const bool ok = recompute(c.job.header, c.nonce, actual) && std::memcmp(actual, c.claimed, 32) == 0;
        log("share id=" + std::to_string(c.id) + " job=" + c.job.id + " nonce=" + std::to_string(c.nonce) +
            " hash=" + hex(c.claimed, 32) + (ok ? " verified OK" : " WRONG HASH (libargon2 gives " + hex(actual, 32) + ")"));
        c.conn->send("{\"id\":" + std::to_string(c.id) + (ok ? ",\"status\":\"OK\"}" : ",\"error\":\"wrong hash\"}"));
        {
            std::lock_guard<std::mutex> lock(check_mutex);
            checks.pop_front();
        }
    }
}

void broadcaster() {
    int elapsed = 0;
    while (!stopping.load()) {
        usleep(100000);
        if (settings.job_every <= 0 || ++elapsed < settings.job_every * 10) continue;
        elapsed = 0;
        const JobInfo job = make_job();
        std::lock_guard<std::mutex> lock(conns_mutex);
        for (auto& w : conns) {
            if (auto c = w.lock(); c && c->alive()) c->send("{\"method\":\"job\",\"params\":{" + job_members(job) + "}}");
        }
        log("job " + job.id + " sent");
    }
}

void on_signal(int) {
    stopping = true;
}

void usage() {
    std::fputs(
        "usage: qxt-test-pool [--port N] [--port-file F] [--target HEX64] [--network-target HEX64]\n"
        "                     [--job-every S] [--reject REASON] [--close-after-shares N] [--check-queue N]\n"
        "                     [--nonce-start N] [--height N] [--difficulty N] [--verbose]\n"
        "                     [--tls-cert PEM --tls-key PEM]\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--port") settings.port = std::atoi(value().c_str());
        else if (a == "--port-file") settings.port_file = value();
        else if (a == "--target") settings.target = value();
        else if (a == "--network-target") settings.network_target = value();
        else if (a == "--job-every") settings.job_every = std::atoi(value().c_str());
        else if (a == "--reject") settings.reject = value();
        else if (a == "--close-after-shares") settings.close_after_shares = std::atoi(value().c_str());
        else if (a == "--check-queue") settings.check_queue = std::atoi(value().c_str());
        else if (a == "--nonce-start") settings.nonce_start = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--height") settings.height = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--difficulty") settings.difficulty = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--verbose") settings.verbose = true;
        else if (a == "--tls-cert") settings.tls_cert = value();
        else if (a == "--tls-key") settings.tls_key = value();
        else {
            usage();
            return 2;
        }
    }
    std::uint8_t probe[32];
    if (!unhex(settings.target, probe, 32) || !unhex(settings.network_target, probe, 32)) {
        std::fputs("targets must be 64 hexadecimal digits\n", stderr);
        return 2;
    }

    if (!settings.tls_cert.empty() || !settings.tls_key.empty()) {
        tls_context = SSL_CTX_new(TLS_server_method());
        if (tls_context == nullptr ||
            SSL_CTX_use_certificate_chain_file(tls_context, settings.tls_cert.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(tls_context, settings.tls_key.c_str(), SSL_FILETYPE_PEM) != 1) {
            std::fputs("qxt-test-pool: cannot use --tls-cert/--tls-key\n", stderr);
            return 2;
        }
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGPIPE, SIG_IGN);

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(settings.port));
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 16) != 0) {
        std::perror("qxt-test-pool: bind");
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    if (!settings.port_file.empty()) {
        const std::string tmp = settings.port_file + ".tmp";
        std::ofstream(tmp) << port << "\n";
        std::rename(tmp.c_str(), settings.port_file.c_str());
    }
    log(std::string("test pool listening on 127.0.0.1:") + std::to_string(port) + (tls_context ? " (TLS)" : "") +
        " · share target " + settings.target +
        " · up to " + std::to_string(settings.check_queue) +
        " share(s) queued for a full libargon2 check, the rest accepted unchecked");

    std::thread check_thread(checker);
    std::thread job_thread(broadcaster);
    std::vector<std::thread> handlers;
    while (!stopping.load()) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        auto conn = std::make_shared<Connection>(fd);
        log("miner connected");
        // Jobs are broadcast only to a connection whose handshake is done:
        // before that a job would go out in plain text, or race SSL_accept.
        handlers.emplace_back([conn] {
            if (tls_context != nullptr && !conn->accept_tls()) return;
            {
                std::lock_guard<std::mutex> lock(conns_mutex);
                conns.push_back(conn);
            }
            conn->serve();
        });
    }
    check_cv.notify_all();
    check_thread.join();
    job_thread.join();
    for (auto& h : handlers) h.join();
    close(listener);
    if (tls_context != nullptr) SSL_CTX_free(tls_context);
    log("test pool stopped");
    return 0;
}
