// Trying a pool on the side: while the miner works on a backup pool, the
// primary is connected to, logged in to and waited on for a job on a thread
// of its own, so mining goes on meanwhile. Once it has given a job and held
// the connection for the hold time, the connection (with what it received)
// is handed over; otherwise it is closed.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "common/timing.hpp"
#include "net/lookups.hpp"
#include "net/stream.hpp"
#include "pool/config.hpp"

namespace nolu::qxt {

struct ProbeResult {
    Stream stream;         // the logged-in connection that gave a job and held it; empty on failure
    std::string received;  // every byte read from it so far, the job's line included
    std::string reason;    // why it failed
};

class Probe {
public:
    Probe() = default;
    ~Probe();  // cancels and closes what was not taken
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    void start(const Endpoint& endpoint, const std::string& tls_ca, std::string login_line, Lookups& lookups,
               const PoolTiming& timing);
    bool running() const { return thread_.joinable() && !done_.load(); }
    bool finished() const { return thread_.joinable() && done_.load(); }
    // The result of a finished probe; the caller owns its stream.
    ProbeResult take();
    // Stops a running probe (within one wait step) and drops its result.
    void cancel();

private:
    void run(const Endpoint& endpoint, const std::string& tls_ca, std::string login_line, Lookups& lookups,
             const PoolTiming& timing);
    // Reads until the pool has given a job and held the connection for the
    // hold time; the failure's reason otherwise.
    std::string wait_and_hold(Stream& stream, const PoolTiming& timing);

    std::thread thread_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> done_{false};
    ProbeResult result_;  // written by the thread before done_, read after
};

}  // namespace nolu::qxt
