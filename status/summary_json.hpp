// The JSON summary of a snapshot, for scripts: one object on one line.
#pragma once

#include <string>

#include "status/board.hpp"

namespace nolu::qxt {

inline constexpr const char* summary_content_type = "application/json";

// {"version":..,"engine":..,"mode":..,"threads":..,"uptime_s":..,"hashes":..,
//  "hashrate":{"10s":..,"60s":..,"15m":..},"per_thread":[{"thread":0,"hashes":..,"10s":..,..}],
//  "shares":{"accepted":..,"rejected":..},"blocks_found":..,"pages":{"1g":..,"2m":..,"thp":..},
//  "pool":{"url":..,"worker":..,"connected":..,"reconnects":..,"job_height":..,"difficulty":..} or null,
//  "fee_active":..} and a line feed. Rates in hashes per second with two decimals.
std::string format_summary(const MinerSnapshot& snapshot);

}  // namespace nolu::qxt
