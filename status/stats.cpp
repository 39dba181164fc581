#include "status/stats.hpp"

#include <cstdio>
#include <ctime>

#include "common/json.hpp"
#include "common/replace_file.hpp"
#include "common/utf8.hpp"
#include "console/console.hpp"

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

BenchMeter::BenchMeter(std::vector<std::uint64_t> thread_hashes, std::uint64_t now_ns) : start_ns_(now_ns) {
    for (const std::uint64_t h : thread_hashes) threads_.push_back({h, h, h, now_ns});
}

void BenchMeter::close(const std::vector<std::uint64_t>& thread_hashes, std::uint64_t now_ns) {
    for (std::size_t i = 0; i < threads_.size() && i < thread_hashes.size(); ++i) {
        threads_[i].at_deadline = threads_[i].end = thread_hashes[i];
        threads_[i].end_ns = now_ns;
    }
}

void BenchMeter::settle(const std::vector<std::uint64_t>& thread_hashes, std::uint64_t now_ns) {
    for (std::size_t i = 0; i < threads_.size() && i < thread_hashes.size(); ++i) {
        Thread& t = threads_[i];
        if (t.end == t.at_deadline && thread_hashes[i] > t.at_deadline) {
            t.end = thread_hashes[i];
            t.end_ns = now_ns;
        }
    }
}

bool BenchMeter::settled() const {
    for (const Thread& t : threads_)
        if (t.at_deadline > t.start && t.end == t.at_deadline) return false;
    return true;
}

double BenchMeter::rate() const {
    double sum = 0.0;
    for (const Thread& t : threads_)
        if (t.end > t.start && t.end_ns > start_ns_)
            sum += static_cast<double>(t.end - t.start) * 1e9 / static_cast<double>(t.end_ns - start_ns_);
    return sum;
}

std::string rate_text(double rate) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f H/s", rate);
    return buf;
}

void record_share(ShareCounters& shares, bool accepted, const std::string& reason) {
    if (accepted) {
        shares.last_accepted_s.store(static_cast<std::int64_t>(std::time(nullptr)));
        shares.accepted.fetch_add(1);
        const std::uint64_t rejected = shares.rejected.load();
        const std::uint64_t accepted_now = shares.accepted.load();
        log_line(colours.green, "share",
                 "accepted (" + std::to_string(accepted_now) + "/" + std::to_string(rejected) + ")");
    } else {
        shares.rejected_by_reason[static_cast<std::size_t>(classify_reject(reason))].fetch_add(1);
        shares.rejected.fetch_add(1);
        log_line(colours.red, "share", "REJECTED — " + reason);
    }
}

void add_share_facts(MinerSnapshot& s, const ShareCounters& shares) {
    s.accepted = shares.accepted.load();
    s.rejected = shares.rejected.load();
    s.hw_errors = shares.hw_errors.load();
    s.last_accepted_s = shares.last_accepted_s.load();
    s.rejected_by_reason.clear();
    for (std::size_t i = 0; i < reject_reason_count; ++i)
        s.rejected_by_reason.emplace_back(reject_reason_names[i], shares.rejected_by_reason[i].load());
}

std::string format_speed_line(const MinerSnapshot& s) {
    return "10s/60s/15m  " + rate_text(s.rates.s10) + " / " + rate_text(s.rates.s60) + " / " +
           rate_text(s.rates.m15) + "   parts " + std::to_string(s.accepted) + "/" + std::to_string(s.rejected);
}

namespace {

std::string two_places(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string thread_rates(const MinerSnapshot& s) {
    std::string out = "[";
    for (std::size_t i = 0; i < s.per_thread.size(); ++i) out += (i > 0 ? "," : "") + two_places(s.per_thread[i].rates.s60);
    return out + "]";
}

}  // namespace

std::string format_stats_json(const MinerSnapshot& s) {
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    std::string out = "{\"hashrate_hs\":" + two_places(s.rates.s60) + ",\"accepted\":" + n(s.accepted) +
                      ",\"rejected\":" + n(s.rejected) + ",\"uptime_s\":" + n(s.uptime_s) + ",\"version\":\"" +
                      json_escape(valid_utf8(s.version)) + "\",\"algo\":\"argon2id-qxt\",\"hw_errors\":" + n(s.hw_errors);
    out += ",\"threads\":" + std::to_string(s.threads) + ",\"thread_hs\":" + thread_rates(s);
    if (s.pool)
        out += ",\"pool\":\"" + json_escape(valid_utf8(s.pool->in_use)) + "\",\"pool_connected\":" +
               (s.pool->connected ? "true" : "false") + ",\"pool_tls\":" + (s.pool->tls ? "true" : "false");
    return out + ",\"paused\":" + (s.paused ? "true" : "false") + "}\n";
}

void write_stats_file(const std::string& path, const std::string& content) {
    // A short write (full disk) must not replace the last good file; the
    // next second tries again.
    (void)replace_file(path, content);
}

}  // namespace nolu::qxt
