#include "miner/self_test.hpp"

#include <cstring>

namespace nolu::qxt {

bool self_test_passes(Engine engine, const Arena& arena) {
    alignas(64) std::uint8_t header[header_bytes];
    alignas(64) std::uint8_t tag[hash_bytes];
    std::memcpy(header, known_record.header.data(), sizeof header);
    engine(arena, header, known_record.nonce, tag);
    return std::memcmp(tag, known_record.tag.data(), sizeof tag) == 0;
}

}  // namespace nolu::qxt
