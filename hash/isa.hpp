// Entry points of the per-instruction-set engine files. Only the engine table
// and those files include this header: everything else reaches an engine
// through its row of the table.
#pragma once

#include <cstdint>

#include "hash/arena.hpp"
#include "hash/engine_table.hpp"

namespace nolu::qxt {

// AVX2 (engine_avx2.cpp, built with -mavx2).
void engine_avx2(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out);
void address_block_avx2(const std::uint64_t* z, std::uint64_t* out);
void engine_lanes_avx2(const LaneWork* lanes, unsigned n);
void window_run_avx2(void* window, std::uint32_t window_blocks, std::uint64_t count);
std::uint64_t random_run_avx2(void* storage, std::uint64_t bytes, std::uint64_t count);

// AVX-512 F, VL, BW (engine_avx512.cpp, built with the AVX-512 flags).
void engine_avx512(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out);
void address_block_avx512(const std::uint64_t* z, std::uint64_t* out);
void hprime_1024_avx512(std::uint8_t* out, const std::uint8_t* in72);
const void* rebuild_block_avx512(const Arena& arena, std::uint32_t j, void* out);
void engine_lanes_avx512(const LaneWork* lanes, unsigned n);
void window_run_avx512(void* window, std::uint32_t window_blocks, std::uint64_t count);
std::uint64_t random_run_avx512(void* storage, std::uint64_t bytes, std::uint64_t count);
std::uint64_t chain_run_avx512(const ChainProbe& probe, std::uint64_t steps);

}  // namespace nolu::qxt
