// The re-check of a share before it goes out: the same nonce hashed a second
// time in the same arena. A processor or memory that flips a bit now and then
// gives two different tags; the pool must never see such a share.
#pragma once

#include <cstdint>

#include "hash/arena.hpp"
#include "hash/engine_table.hpp"

namespace nolu::qxt {

// Hashes header and nonce again with engine in arena and compares with the
// tag of the first computation: true when both agree (the share may go out),
// false for a hardware error.
bool recheck_share(Engine engine, const Arena& arena, const std::uint8_t* header, std::uint64_t nonce,
                   const std::uint8_t* tag);

}  // namespace nolu::qxt
