#include "miner/recheck.hpp"

#include <cstring>

namespace nolu::qxt {

bool recheck_share(Engine engine, const Arena& arena, const std::uint8_t* header, std::uint64_t nonce,
                   const std::uint8_t* tag) {
    alignas(64) std::uint8_t again[hash_bytes];
    engine(arena, header, nonce, again);
    return std::memcmp(again, tag, sizeof again) == 0;
}

}  // namespace nolu::qxt
