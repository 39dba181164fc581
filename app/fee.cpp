#include "app/fee.hpp"

#include <utility>

namespace nolu::qxt {

bool fee_period(std::uint64_t elapsed_seconds) {
    return elapsed_seconds % fee_cycle_seconds >= fee_start_phase;
}

FeeSwitch::FeeSwitch(Config user, std::function<void(const Config&)> reconnect,
                     std::function<void(const char*)> announce)
    : user_(std::move(user)), reconnect_(std::move(reconnect)), announce_(std::move(announce)) {}

void FeeSwitch::tick(std::uint64_t elapsed_seconds) {
    const bool fee_now = fee_period(elapsed_seconds);
    if (fee_now == in_fee_) return;
    in_fee_ = fee_now;
    reconnect_(config_now());
    announce_(fee_now ? "1% dev contribution (1 min)" : "back to user wallet");
}

void FeeSwitch::set_user(Config user) {
    user_ = std::move(user);
    reconnect_(config_now());
}

Config FeeSwitch::config_now() const {
    Config config = user_;
    if (in_fee_) {
        config.address = fee_address;
        config.worker = fee_worker;
    }
    return config;
}

}  // namespace nolu::qxt
