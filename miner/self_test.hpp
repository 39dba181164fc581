// The start-up self-test: one known hash computed in the thread's own arena,
// with the engine and the memory settings the thread will mine with. A
// processor or memory that computes it wrong would compute shares wrong too.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "hash/arena.hpp"
#include "hash/engine_table.hpp"

namespace nolu::qxt {

struct KnownRecord {
    std::array<std::uint8_t, header_bytes> header;
    std::uint64_t nonce;
    std::array<std::uint8_t, hash_bytes> tag;
};

// One record of tools/vectors.txt, built into the binary by the build
// (miner/CMakeLists.txt writes it from the file, so the two cannot differ).
extern const KnownRecord known_record;

// Hashes the known record in arena with engine; true when the tag matches.
bool self_test_passes(Engine engine, const Arena& arena);

// The same through the lane entry, one lane in each arena: true when every
// lane's tag matches (false too when the settings' stop flag cut it short).
bool self_test_passes_lanes(LaneEngine hash_lanes, const std::vector<Arena>& arenas);

}  // namespace nolu::qxt
