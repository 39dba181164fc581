#include "status/metrics_text.hpp"

#include <cstdio>
#include <string>
#include <utility>

#include "common/utf8.hpp"

namespace nolu::qxt {

namespace {

using Type = MetricsText::Type;

std::uint64_t count(std::int64_t value) { return value > 0 ? static_cast<std::uint64_t>(value) : 0; }

void rate_samples(MetricsText& m, const std::string& thread, const WindowRates& rates) {
    const std::pair<const char*, double> windows[] = {{"10s", rates.s10}, {"60s", rates.s60}, {"15m", rates.m15}};
    for (const auto& [window, rate] : windows) {
        if (thread.empty())
            m.sample({{"window", window}}, rate);
        else
            m.sample({{"thread", thread}, {"window", window}}, rate);
    }
}

// The miner's totals carry no thread label; each thread's figures are
// families of their own, so that a sum over a family never counts twice.
void hash_families(MetricsText& m, const MinerSnapshot& s) {
    m.single("korven_qxt_hashes_total", Type::counter, "Hashes computed since start, all threads.", s.hashes);
    m.family("korven_qxt_hashrate", Type::gauge, "Mean hashes per second over the window, all threads.");
    rate_samples(m, "", s.rates);
    m.family("korven_qxt_thread_hashes_total", Type::counter, "Hashes computed since start by each mining thread.");
    for (std::size_t i = 0; i < s.per_thread.size(); ++i)
        m.sample({{"thread", std::to_string(i)}}, s.per_thread[i].hashes);
    m.family("korven_qxt_thread_hashrate", Type::gauge,
             "Mean hashes per second over the window of each mining thread.");
    for (std::size_t i = 0; i < s.per_thread.size(); ++i) rate_samples(m, std::to_string(i), s.per_thread[i].rates);
}

void share_families(MetricsText& m, const MinerSnapshot& s) {
    m.family("korven_qxt_shares_total", Type::counter, "Shares the pool answered, by its verdict.");
    m.sample({{"result", "accepted"}}, s.accepted);
    m.sample({{"result", "rejected"}}, s.rejected);
    m.family("korven_qxt_shares_rejected_total", Type::counter,
             "Shares the pool rejected, by reason: stale, duplicate, low_difficulty, invalid or other.");
    for (const auto& [reason, rejected] : s.rejected_by_reason) m.sample({{"reason", reason}}, rejected);
    m.single("korven_qxt_last_share_accepted_timestamp_seconds", Type::gauge,
             "Unix time of the last share the pool accepted; 0 before the first.", count(s.last_accepted_s));
    m.single("korven_qxt_blocks_found_total", Type::counter,
             "Shares handed in that also met the network target (block candidates).", s.blocks_found);
    m.single("korven_qxt_hw_errors_total", Type::counter,
             "Shares withheld because hashing them again gave another result (unstable processor or memory).",
             s.hw_errors);
}

void pool_families(MetricsText& m, const MinerSnapshot& s) {
    const PoolFacts none;
    const PoolFacts& pool = s.pool ? *s.pool : none;
    m.single("korven_qxt_pool_connected", Type::gauge, "1 while the pool connection is up.", pool.connected ? 1 : 0);
    m.single("korven_qxt_pool_reconnects_total", Type::counter,
             "Connections to the pool after the first one (the fee minute's switches not counted).", pool.reconnects);
    m.single("korven_qxt_job_height", Type::gauge, "Block height of the latest job (0 before the first).",
             pool.job_height);
    m.single("korven_qxt_job_difficulty", Type::gauge, "Share difficulty of the latest job.", pool.job_difficulty);
    if (s.pool) {
        m.family("korven_qxt_pool_info", Type::gauge,
                 "The pool in use, the worker name, TLS and whether the pool is the primary or a backup; always 1.");
        m.sample({{"pool", pool.in_use},
                  {"worker", pool.worker},
                  {"tls", pool.tls ? "true" : "false"},
                  {"role", pool.role}},
                 std::uint64_t{1});
    }
}

void machine_families(MetricsText& m, const MinerSnapshot& s) {
    m.single("korven_qxt_threads", Type::gauge, "Mining threads holding an arena.",
             static_cast<std::uint64_t>(s.threads));
    m.single("korven_qxt_uptime_seconds", Type::gauge, "Seconds since the mining threads started.", s.uptime_s);
    m.single("process_start_time_seconds", Type::gauge, "Start time of the process since the Unix epoch in seconds.",
             count(s.start_time_s));
    m.family("korven_qxt_arenas", Type::gauge,
             "Arenas by their pages: reserved 1 GiB (1g), reserved 2 MiB (2m), transparent huge pages (thp).");
    m.sample({{"pages", "1g"}}, static_cast<std::uint64_t>(s.arenas_1g));
    m.sample({{"pages", "2m"}}, static_cast<std::uint64_t>(s.arenas_2m));
    m.sample({{"pages", "thp"}}, static_cast<std::uint64_t>(s.arenas_thp));
    if (s.temperature_c) {
        m.family("korven_qxt_cpu_temperature_celsius", Type::gauge,
                 "The processor's temperature: its hottest coretemp, k10temp or zenpower sensor.");
        m.sample({}, *s.temperature_c);
    }
    m.single("korven_qxt_paused", Type::gauge, "1 while hashing is paused (by request or by the thermal limit).",
             s.paused ? 1 : 0);
    m.single("korven_qxt_thermal_pauses_total", Type::counter, "Times the thermal limit paused hashing.",
             s.thermal_pauses);
}

}  // namespace

void MetricsText::family(std::string_view name, Type type, std::string_view help) {
    name_ = std::string(name);
    text_ += "# HELP " + name_ + " ";
    for (const char c : help) {
        if (c == '\\')
            text_ += "\\\\";
        else if (c == '\n')
            text_ += "\\n";
        else
            text_ += c;
    }
    text_ += "\n# TYPE " + name_ + (type == Type::counter ? " counter\n" : " gauge\n");
}

void MetricsText::sample_name(std::initializer_list<MetricLabel> labels) {
    text_ += name_;
    if (labels.size() == 0) return;
    char separator = '{';
    for (const MetricLabel& label : labels) {
        text_ += separator;
        text_ += label.name;
        text_ += "=\"" + metric_label_value(label.value) + "\"";
        separator = ',';
    }
    text_ += '}';
}

void MetricsText::sample(std::initializer_list<MetricLabel> labels, std::uint64_t value) {
    sample_name(labels);
    text_ += " " + std::to_string(value) + "\n";
}

void MetricsText::sample(std::initializer_list<MetricLabel> labels, double value) {
    sample_name(labels);
    char number[64];
    std::snprintf(number, sizeof number, " %.4f\n", value);
    text_ += number;
}

void MetricsText::single(std::string_view name, Type type, std::string_view help, std::uint64_t value) {
    family(name, type, help);
    sample({}, value);
}

std::string metric_label_value(std::string_view value) {
    std::string out;
    for (const char c : valid_utf8(value)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string format_metrics(const MinerSnapshot& s) {
    MetricsText m;
    m.family("korven_qxt_build_info", Type::gauge, "The miner's version and hash engine; always 1.");
    m.sample({{"version", s.version}, {"engine", s.engine}}, std::uint64_t{1});
    hash_families(m, s);
    share_families(m, s);
    machine_families(m, s);
    pool_families(m, s);
    m.single("korven_qxt_fee_active", Type::gauge, "1 during the maker's fee minute.", s.fee_active ? 1 : 0);
    return m.text();
}

}  // namespace nolu::qxt
