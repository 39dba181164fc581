#include "miner/self_test.hpp"

#include <algorithm>
#include <cstring>

namespace nolu::qxt {

bool self_test_passes(Engine engine, const Arena& arena) {
    alignas(64) std::uint8_t header[header_bytes];
    alignas(64) std::uint8_t tag[hash_bytes];
    std::memcpy(header, known_record.header.data(), sizeof header);
    engine(arena, header, known_record.nonce, tag);
    return std::memcmp(tag, known_record.tag.data(), sizeof tag) == 0;
}

bool self_test_passes_lanes(LaneEngine hash_lanes, const std::vector<Arena>& arenas) {
    alignas(64) std::uint8_t header[header_bytes];
    alignas(64) std::uint8_t tags[max_lanes][hash_bytes] = {};
    std::memcpy(header, known_record.header.data(), sizeof header);
    LaneWork work[max_lanes] = {};
    const auto n = static_cast<unsigned>(std::min<std::size_t>(arenas.size(), max_lanes));
    for (unsigned k = 0; k < n; ++k) work[k] = {&arenas[k], header, known_record.nonce, tags[k]};
    hash_lanes(work, n);
    bool ok = n > 0;
    for (unsigned k = 0; k < n; ++k) ok = ok && std::memcmp(tags[k], known_record.tag.data(), hash_bytes) == 0;
    return ok;
}

}  // namespace nolu::qxt
