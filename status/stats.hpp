// Hash-rate statistics (a ring of per-second counts), share counting, and
// the two outputs made from the published snapshot on the console's clock:
// the speed line and the statistics file that rig monitors read.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "status/board.hpp"
#include "status/reject_reasons.hpp"

namespace nolu::qxt {

class RateRing {
public:
    static constexpr std::size_t slots = 901;  // one more second than the longest window

    // Stores the hashes of the second that just ended.
    void sample(std::uint64_t hashes_this_second);
    // Mean hashes per second over the newest min(window, samples, slots) seconds; 0 before any.
    double rate(std::uint64_t window) const;
    std::uint64_t samples() const { return count_; }

private:
    std::array<std::uint64_t, slots> ring_{};
    std::uint64_t count_ = 0;
};

// The benchmark's figure, for a benchmark of any length (the ring holds 15
// minutes): per thread, the hashes counted since the start over the time to
// the end of the thread's last batch, summed. A thread counts its hashes a
// batch (all its lanes) at a time, so cutting the count at the deadline
// would leave out the batch in progress: with four lanes, several percent
// of a short benchmark.
class BenchMeter {
public:
    BenchMeter(std::vector<std::uint64_t> thread_hashes, std::uint64_t now_ns);
    // The counts read at the deadline (a thread that never settles is
    // counted up to here); then settle() until settled().
    void close(const std::vector<std::uint64_t>& thread_hashes, std::uint64_t now_ns);
    // A later reading: a thread whose count moved past its deadline count
    // has ended the batch that was in progress, at now_ns.
    void settle(const std::vector<std::uint64_t>& thread_hashes, std::uint64_t now_ns);
    // Every thread that hashed at all has ended its batch.
    bool settled() const;
    double rate() const;

private:
    struct Thread {
        std::uint64_t start = 0, at_deadline = 0, end = 0, end_ns = 0;
    };
    std::vector<Thread> threads_;
    std::uint64_t start_ns_;
};

// "%.2f H/s"
std::string rate_text(double rate);

struct ShareCounters {
    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> rejected{0};
    std::atomic<std::uint64_t> hw_errors{0};  // shares withheld: the re-check gave another tag
    std::array<std::atomic<std::uint64_t>, reject_reason_count> rejected_by_reason{};  // by RejectReason
    std::atomic<std::int64_t> last_accepted_s{0};  // Unix time of the last accepted share; 0 = none yet
};

// Counts one verdict (a rejection also under its reason; an acceptance
// stamps the time) and logs "accepted (a/r)" in green or "REJECTED — reason"
// in red.
void record_share(ShareCounters& shares, bool accepted, const std::string& reason);

// The shares' part of a snapshot: verdicts, rejections by reason (every
// reason, in enum order), hardware errors and the last acceptance.
void add_share_facts(MinerSnapshot& snapshot, const ShareCounters& shares);

// "10s/60s/15m  R10 / R60 / R900   parts a/r"
std::string format_speed_line(const MinerSnapshot& snapshot);

// The statistics file's one line (with its trailing newline). The fields
// readers have always found there keep their order; "hw_errors" and the
// later ones follow: "threads", "thread_hs" (each thread's 60-second rate),
// and with a pool "pool", "pool_connected", "pool_tls"; then "paused".
std::string format_stats_json(const MinerSnapshot& snapshot);

// Replaces path whole (common/replace_file.hpp), so readers see the old or
// the new file; a link at path is replaced, never written through. A failed
// write leaves the old file in place; nothing is reported.
void write_stats_file(const std::string& path, const std::string& content);

}  // namespace nolu::qxt
