// What the miner tells its watchers: the facts of one moment, published by
// the main loop once a second and read, as a whole, by the status server.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nolu::qxt {

// Mean hashes per second over the last 10 s, 60 s and 15 min.
struct WindowRates {
    double s10 = 0.0;
    double s60 = 0.0;
    double m15 = 0.0;
};

struct ThreadFacts {
    std::uint64_t hashes = 0;
    WindowRates rates;
};

struct PoolFacts {
    std::string in_use;  // "host:port" of the pool the miner is connected or connecting to
    std::string worker;  // the worker name it logged in with
    bool connected = false;
    std::uint64_t reconnects = 0;
    std::uint64_t job_height = 0;      // of the latest job; 0 before the first
    std::uint64_t job_difficulty = 0;
    bool tls = false;                  // the connection in use is TLS
    std::string role = "primary";      // "primary" or "backup"
};

struct MinerSnapshot {
    std::string version;
    std::string engine;
    std::string mode;  // "mining" or "bench"
    int threads = 0;   // mining threads holding an arena
    std::uint64_t uptime_s = 0;
    std::uint64_t hashes = 0;
    WindowRates rates;
    std::vector<ThreadFacts> per_thread;  // by thread index, failed threads included
    std::uint64_t accepted = 0;
    std::uint64_t rejected = 0;
    std::uint64_t blocks_found = 0;
    std::uint64_t hw_errors = 0;  // shares withheld because a second hash disagreed
    int arenas_1g = 0;
    int arenas_2m = 0;
    int arenas_thp = 0;
    std::optional<PoolFacts> pool;  // none when benchmarking
    bool fee_active = false;
    std::int64_t start_time_s = 0;         // Unix time the process started
    std::int64_t last_accepted_s = 0;      // Unix time of the last accepted share; 0 = none yet
    std::vector<std::pair<std::string, std::uint64_t>> rejected_by_reason;  // a few known reasons and "other"
    bool paused = false;                   // hashing paused (by request or by the thermal limit)
    std::uint64_t thermal_pauses = 0;      // times the thermal limit paused hashing
    std::optional<double> temperature_c;   // CPU temperature; none without a sensor
};

// The latest snapshot. Publishing swaps a pointer under the mutex; readers
// take the pointer and format from it with no lock held.
class StatusBoard {
public:
    void publish(MinerSnapshot snapshot);
    // Null before the first publication.
    std::shared_ptr<const MinerSnapshot> latest() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const MinerSnapshot> latest_;
};

}  // namespace nolu::qxt
