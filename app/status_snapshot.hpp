// Gathering the status board's snapshot from the parts of a run, on the
// main thread, once a second.
#pragma once

#include <cstdint>
#include <optional>

#include "app/hash_rates.hpp"
#include "app/mining_threads.hpp"
#include "app/startup.hpp"
#include "status/stats.hpp"
#include "status/board.hpp"
#include "pool/pool.hpp"

namespace nolu::qxt {

// Reconnects: connections to the pool after the first one of each
// Pool::start. Every start (at launch and at each fee switch) opens a
// connection that is no reconnect.
class ReconnectCount {
public:
    // Called before every Pool::start with Pool::connection_number().
    void before_start(std::uint64_t connections);
    // Reconnects so far, given Pool::connection_number() now.
    std::uint64_t total(std::uint64_t connections) const;

private:
    std::uint64_t since_start(std::uint64_t connections) const;

    std::uint64_t settled_ = 0;
    std::uint64_t at_start_ = 0;
};

// What every run knows: version, engine, mode, threads, hashes and rates,
// block candidates, arenas by page kind, up-time, start time and the CPU
// temperature (the second's one reading, which the thermal limit uses too).
MinerSnapshot hashing_snapshot(const Setup& setup, const MiningPlan& plan, const MiningThreads& threads,
                               const HashRates& rates, std::uint64_t uptime_s,
                               const std::optional<double>& temperature_c);

// What mining adds: the pool in use (from its Config; primary or backup),
// its connection, the latest job and the fee state. The shares come from
// add_share_facts (status/stats.hpp).
void add_pool_facts(MinerSnapshot& snapshot, Pool& pool, std::uint64_t reconnects, bool fee_active);

// Whether hashing is paused now (a request or the thermal limit) and how
// often the thermal limit has paused it.
void add_pause_facts(MinerSnapshot& snapshot, bool paused, std::uint64_t thermal_pauses);

}  // namespace nolu::qxt
