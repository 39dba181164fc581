// The memory limits the engines meet, measured on an arena's storage: the
// benchmark times these loops next to the engines (they do no timing).
#pragma once

#include <cstdint>

namespace nolu::qxt {

// The random-access probe (EngineProbes::random) with baseline x86-64
// instructions (16-byte loads and non-temporal stores), for the plain
// engine.
std::uint64_t probe_random_blocks(void* storage, std::uint64_t bytes, std::uint64_t count);

// `count` dependent reads: every 1 KiB block read decides (through one word
// of each of its lines) which random block is read next, as a second-half
// block decides its successor's reference. Returns a checksum.
std::uint64_t probe_dependent_blocks(const void* storage, std::uint64_t bytes, std::uint64_t count);

}  // namespace nolu::qxt
