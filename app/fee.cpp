#include "app/fee.hpp"

namespace nolu::qxt {

bool fee_period(std::uint64_t elapsed_seconds) {
    return elapsed_seconds % fee_cycle_seconds >= fee_start_phase;
}

}  // namespace nolu::qxt
