#include "status/summary_json.hpp"

#include <cstdio>
#include <optional>

#include "common/utf8.hpp"
#include "common/json.hpp"

namespace nolu::qxt {

namespace {

std::string text(const std::string& s) { return "\"" + json_escape(valid_utf8(s)) + "\""; }

std::string number(std::uint64_t n) { return std::to_string(n); }

std::string rate(double r) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", r);
    return buffer;
}

std::string rate_members(const WindowRates& r) {
    return "\"10s\":" + rate(r.s10) + ",\"60s\":" + rate(r.s60) + ",\"15m\":" + rate(r.m15);
}

std::string per_thread(const MinerSnapshot& s) {
    std::string out = "[";
    for (std::size_t i = 0; i < s.per_thread.size(); ++i) {
        if (i > 0) out += ",";
        out += "{\"thread\":" + number(i) + ",\"hashes\":" + number(s.per_thread[i].hashes) + "," +
               rate_members(s.per_thread[i].rates) + "}";
    }
    return out + "]";
}

std::string pool(const MinerSnapshot& s) {
    if (!s.pool) return "null";
    const PoolFacts& p = *s.pool;
    return "{\"url\":" + text(p.in_use) + ",\"worker\":" + text(p.worker) +
           ",\"connected\":" + (p.connected ? "true" : "false") + ",\"reconnects\":" + number(p.reconnects) +
           ",\"job_height\":" + number(p.job_height) + ",\"difficulty\":" + number(p.job_difficulty) + ",\"tls\":" + (p.tls ? "true" : "false") +
           ",\"role\":" + text(p.role) + "}";
}

std::string shares(const MinerSnapshot& s) {
    std::string by_reason;
    for (const auto& [reason, count] : s.rejected_by_reason)
        by_reason += (by_reason.empty() ? "" : ",") + text(reason) + ":" + number(count);
    return "{\"accepted\":" + number(s.accepted) + ",\"rejected\":" + number(s.rejected) +
           ",\"rejected_by_reason\":{" + by_reason + "},\"last_accepted_s\":" + std::to_string(s.last_accepted_s) + "}";
}

std::string temperature(const std::optional<double>& celsius) {
    if (!celsius) return "null";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", *celsius);
    return buffer;
}

}  // namespace

std::string format_summary(const MinerSnapshot& s) {
    std::string out = "{\"version\":" + text(s.version) + ",\"engine\":" + text(s.engine) + ",\"mode\":" +
                      text(s.mode) + ",\"threads\":" + std::to_string(s.threads) + ",\"uptime_s\":" +
                      number(s.uptime_s) + ",\"start_time_s\":" + std::to_string(s.start_time_s) +
                      ",\"hashes\":" + number(s.hashes);
    out += ",\"hashrate\":{" + rate_members(s.rates) + "},\"per_thread\":" + per_thread(s);
    out += ",\"shares\":" + shares(s);
    out += ",\"blocks_found\":" + number(s.blocks_found) + ",\"hw_errors\":" + number(s.hw_errors);
    out += ",\"pages\":{\"1g\":" + std::to_string(s.arenas_1g) + ",\"2m\":" + std::to_string(s.arenas_2m) +
           ",\"thp\":" + std::to_string(s.arenas_thp) + "}";
    out += ",\"temperature_c\":" + temperature(s.temperature_c) + ",\"paused\":" + (s.paused ? "true" : "false") +
           ",\"thermal_pauses\":" + number(s.thermal_pauses);
    out += ",\"pool\":" + pool(s) + ",\"fee_active\":" + (s.fee_active ? "true" : "false") + "}\n";
    return out;
}

}  // namespace nolu::qxt
