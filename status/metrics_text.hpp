// The Prometheus text exposition (format 0.0.4) of a snapshot: one family
// per fact, each with its # HELP and # TYPE lines, names prefixed korven_qxt_.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "status/board.hpp"

namespace nolu::qxt {

inline constexpr const char* metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";

struct MetricLabel {
    std::string_view name;
    std::string_view value;
};

// Writes families one after another: family() starts one (its # HELP and
// # TYPE lines), sample() adds a sample of it.
class MetricsText {
public:
    enum class Type { counter, gauge };

    void family(std::string_view name, Type type, std::string_view help);
    void sample(std::initializer_list<MetricLabel> labels, std::uint64_t value);
    void sample(std::initializer_list<MetricLabel> labels, double value);
    // A family of one sample without labels.
    void single(std::string_view name, Type type, std::string_view help, std::uint64_t value);

    const std::string& text() const { return text_; }

private:
    void sample_name(std::initializer_list<MetricLabel> labels);

    std::string text_;
    std::string name_;
};

// A label value as the format writes it between its quotes: backslash,
// double quote and line feed escaped, bytes made valid UTF-8.
std::string metric_label_value(std::string_view value);

std::string format_metrics(const MinerSnapshot& snapshot);

}  // namespace nolu::qxt
