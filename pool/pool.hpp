// The pool client: connection thread, job slot shared with the mining
// threads, and the one locked send path for every outgoing line.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/json.hpp"
#include "common/timing.hpp"
#include "net/resolver.hpp"
#include "net/stream.hpp"
#include "pool/config.hpp"
#include "pool/job.hpp"

namespace nolu::qxt {

class Lookups;

class Pool : public JobSource {
public:
    using LogFn = std::function<void(const std::string&)>;
    using ShareFn = std::function<void(bool accepted, const std::string& reason)>;

    // wait_step is the unit of every wait of the connection thread (100 ms):
    // retry sleeps, connect and send-stall polling. Tests shorten it.
    explicit Pool(std::chrono::milliseconds wait_step = std::chrono::milliseconds(100));
    explicit Pool(const PoolTiming& timing);
    ~Pool() override;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The log callback gets the client's messages, the share callback every
    // verdict; both run on the connection thread with no lock held. Set them
    // before the first start.
    void set_callbacks(LogFn on_log, ShareFn on_share);
    // The name resolver (default: resolve_host on the system's files) and
    // the back-off's random source (default: seeded from the system); set
    // them before the first start.
    void set_resolver(ResolveFn resolve);
    void set_jitter(JitterFn jitter);

    // Starts with the pool list of config: config.host (TLS when config.tls)
    // first, then its
    // backups. A start with the same list as before goes on with the pool
    // that was in use (the fee switch restarts without losing a backup).
    void start(const Config& config);
    void stop();

    // JobSource, for the mining threads.
    std::optional<Job> mineable_job() override;
    bool submit(const Job& job, std::uint64_t nonce, const std::uint8_t* hash) override;

    // Writes line and a line feed under send_mutex. False when there is no
    // connection or the line could not be written whole; the connection is
    // then shut down, so no later line is glued onto a part of this one.
    bool send_line(std::string_view line);
    // The submission line for a share (takes the next id, which awaits its
    // verdict from then on); connection: when not 0, sent only while the
    // socket is still that connection's (checked under send_mutex).
    bool submit_share(const std::string& job_id, std::uint64_t nonce, const std::uint8_t* hash,
                      std::uint64_t connection = 0);
    std::string login_line() const;
    void handle_line(std::string_view line);
    void parse_job(const JsonValue& fields);

    // State, read-only from outside.
    Job current_job();  // a whole copy of the job slot
    bool connected() const { return connected_.load(); }
    // Whether the connection in use (or being tried) is TLS.
    bool tls() const { return pool_in_use().tls; }
    bool running() const { return running_.load(); }
    std::uint64_t connection_number() const { return connection_count_.load(); }
    // Job messages stored (a re-sent job counts again, without a new seq).
    std::uint64_t jobs_received() const { return deliveries_.load(); }
    std::uint64_t next_submission_id() const { return next_id_.load(); }
    // The index in the pool list of the pool in use or being tried (0: the primary).
    std::size_t current_pool() const { return current_pool_.load(); }
    // That pool (the primary before the first start).
    Endpoint pool_in_use() const;
    Config config() const;

private:
    // A line that makes no progress for this many wait steps (10 s by
    // default) is given up: the pool has stopped reading.
    static constexpr int send_stall_steps = 100;
    struct SessionEnd;
    struct HeldShare {
        Job job;
        std::uint64_t nonce = 0;
        std::array<std::uint8_t, 32> hash{};
    };

    // pending_id: a submission's id, awaiting its verdict once the line is
    // sent (0: none).
    bool send_whole(std::string_view line, std::uint64_t connection, std::uint64_t pending_id = 0);
    void connection_loop();
    // Runs one connection from its adoption to its end. received: bytes a
    // probe already read on it (its login was sent then).
    SessionEnd serve(Stream stream, const std::string* received);
    void adopt(Stream& stream);
    void disconnect(Stream& stream);
    // A verdict: true when id is a submission of this connection still
    // awaiting its answer (it is then answered).
    bool take_pending(std::uint64_t id);
    // Shares found for a job whose connection ended: sent when the next
    // connection brings the same job again.
    void send_held(const Job& job);
    bool feed(std::string& buffer, std::size_t& scanned);
    // The next pool in the list after a failure of the current one, logged.
    void move_on();
    std::string label(std::size_t index) const;
    void log(const std::string& text);
    // Waits up to tenths * wait_step, returning early once running is false.
    void wait_steps(long tenths);

    LogFn on_log_;
    ShareFn on_share_;
    ResolveFn resolve_;
    JitterFn jitter_;
    PoolTiming timing_;
    std::shared_ptr<Lookups> lookups_;

    // Copied from the Config by start; only the connection thread reads them while it runs.
    std::string host_;
    std::uint16_t port_ = 3333;
    std::vector<Endpoint> pools_;  // the primary, then the backups
    std::string tls_ca_;
    std::string address_;
    std::string worker_;
    std::uint64_t difficulty_hint_ = 0;

    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> job_counter_{0};
    std::atomic<std::uint64_t> deliveries_{0};
    std::atomic<std::uint64_t> next_id_{2};
    std::atomic<std::uint64_t> connection_count_{0};
    std::atomic<std::size_t> current_pool_{0};
    std::atomic<bool> send_stalled_{false}; // a line of this connection could not be sent in time
    std::uint64_t last_difficulty_ = 0;     // connection thread only
    bool login_refused_ = false;            // connection thread only
    bool stray_told_ = false;               // connection thread only: a verdict for no submission was logged

    std::mutex job_mutex_;  // guards job_, job_pool_ and held_
    std::mutex send_mutex_; // guards stream_ and every send
    std::mutex pending_mutex_;  // guards pending_
    Job job_;
    std::size_t job_pool_ = 0;  // the pool the job slot's job came from
    std::vector<HeldShare> held_;
    std::set<std::uint64_t> pending_;  // submissions of this connection awaiting their verdict
    Stream* stream_ = nullptr;  // the connection in use, owned by serve
};

}  // namespace nolu::qxt
