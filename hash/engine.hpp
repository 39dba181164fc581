// The fill engines: each computes the work function's 32-byte tag for one
// header and nonce in the caller's arena. Chosen once at start-up.
#pragma once

#include <cstdint>

#include "hash/arena.hpp"

namespace nolu::qxt {

using Engine = void (*)(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out);

// Portable reference: the plain algorithm (address blocks as Argon2i makes
// them, standard word order, no SIMD). Needs a full 2 GiB arena.
void engine_plain(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out);
// The plain engine's pieces, for tests and tools: the compression on
// standard-order blocks (out = P(x ^ y) ^ x ^ y; out may be x or y), and the first-half reference indices derived from Argon2i address
// blocks, written to entries 2..0xFFFFF of a 2^20-entry table.
void compress_plain(const std::uint64_t* x, const std::uint64_t* y, std::uint64_t* out);
void plain_reference_indices(std::uint32_t* table);

void engine_avx2(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out);
void engine_avx512(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out);

// Called, when set, by an engine between the two halves of a hash (the
// benchmark reads a clock there). Null in the miner; set before any hash.
extern void (*engine_half_hook)();

// Recomputes the not-stored odd block j (skip_from < j < 2^21) of the
// current hash into out (1 KiB, 64-byte aligned, tiled order); returns out.
const void* rebuild_block(const void* base, const std::uint32_t* ref_table, std::uint32_t j, void* out);

}  // namespace nolu::qxt
