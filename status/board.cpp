#include "status/board.hpp"

#include <utility>

namespace nolu::qxt {

void StatusBoard::publish(MinerSnapshot snapshot) {
    auto next = std::make_shared<const MinerSnapshot>(std::move(snapshot));
    std::lock_guard<std::mutex> lock(mutex_);
    latest_.swap(next);
    // The previous snapshot is freed after the lock is released (or by its last reader).
}

std::shared_ptr<const MinerSnapshot> StatusBoard::latest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
}

}  // namespace nolu::qxt
