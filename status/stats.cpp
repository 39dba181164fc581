#include "status/stats.hpp"

#include <cstdio>

#include "console/console.hpp"
#include "common/replace_file.hpp"

namespace nolu::qxt {

void RateRing::sample(std::uint64_t hashes_this_second) {
    ring_[count_ % slots] = hashes_this_second;
    ++count_;
}

double RateRing::rate(std::uint64_t window) const {
    // The ring holds `slots` seconds: a longer window would count some twice.
    std::uint64_t n = window < count_ ? window : count_;
    if (n > slots) n = slots;
    if (n == 0) return 0.0;
    std::uint64_t sum = 0;
    for (std::uint64_t k = 1; k <= n; ++k) sum += ring_[(count_ - k) % slots];
    return static_cast<double>(sum) / static_cast<double>(n);
}

BenchMeter::BenchMeter(std::uint64_t hashes, std::uint64_t now_ns) : hashes_(hashes), start_ns_(now_ns) {}

double BenchMeter::rate(std::uint64_t hashes, std::uint64_t now_ns) const {
    if (now_ns <= start_ns_) return 0.0;
    return static_cast<double>(hashes - hashes_) * 1e9 / static_cast<double>(now_ns - start_ns_);
}

std::string rate_text(double rate) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f H/s", rate);
    return buf;
}

void record_share(ShareCounters& shares, bool accepted, const std::string& reason) {
    if (accepted) {
        shares.accepted.fetch_add(1);
        const std::uint64_t rejected = shares.rejected.load();
        const std::uint64_t accepted_now = shares.accepted.load();
        log_line(colours.green, "share",
                 "accepted (" + std::to_string(accepted_now) + "/" + std::to_string(rejected) + ")");
    } else {
        shares.rejected.fetch_add(1);
        log_line(colours.red, "share", "REJECTED — " + reason);
    }
}

std::string format_speed_line(const RateRing& ring, std::uint64_t accepted, std::uint64_t rejected) {
    return "10s/60s/15m  " + rate_text(ring.rate(10)) + " / " + rate_text(ring.rate(60)) + " / " +
           rate_text(ring.rate(900)) + "   parts " + std::to_string(accepted) + "/" + std::to_string(rejected);
}

std::string format_stats_json(double rate60, std::uint64_t accepted, std::uint64_t rejected, std::uint64_t uptime_s,
                              std::uint64_t hw_errors, std::optional<bool> pool_tls) {
    char buf[340];
    std::snprintf(buf, sizeof buf,
                  "{\"hashrate_hs\":%.2f,\"accepted\":%llu,\"rejected\":%llu,\"uptime_s\":%llu,\"version\":\"%s\","
                  "\"algo\":\"argon2id-qxt\",\"hw_errors\":%llu%s}\n",
                  rate60, static_cast<unsigned long long>(accepted), static_cast<unsigned long long>(rejected),
                  static_cast<unsigned long long>(uptime_s), version_text, static_cast<unsigned long long>(hw_errors),
                  !pool_tls ? "" : *pool_tls ? ",\"pool_tls\":true" : ",\"pool_tls\":false");
    return buf;
}

void write_stats_file(const std::string& path, const std::string& content) {
    // A short write (full disk) must not replace the last good file; the
    // next second tries again.
    (void)replace_file(path, content);
}

}  // namespace nolu::qxt
