// The portable reference engine and its pieces: scalar arithmetic, blocks in
// standard word order, address blocks made the way Argon2i makes them. Every
// fast engine is checked against it.
#pragma once

#include <cstdint>

#include "hash/arena.hpp"

namespace nolu::qxt {

// Needs a full 2 GiB arena.
void engine_plain(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out);

// The compression on standard-order blocks: out = P(x ^ y) ^ x ^ y (out may
// be x or y).
void compress_plain(const std::uint64_t* x, const std::uint64_t* y, std::uint64_t* out);

// The compute-bound probe of the plain compression (see WindowRun).
void window_run_plain(void* window, std::uint32_t window_blocks, std::uint64_t count);

// out = G(0, G(0, z)).
void address_block_plain(const std::uint64_t* z, std::uint64_t* out);

}  // namespace nolu::qxt
