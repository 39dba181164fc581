// The reference indices of the data-independent half (blocks 2..0xFFFFF),
// identical for every header and nonce, computed once per process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nolu::qxt {

inline constexpr std::size_t index_table_entries = std::size_t{1} << 20;

// One table per engine, each built with that engine's instructions only.
// Null until built; never freed.
extern std::uint32_t* index_table_avx2;
extern std::uint32_t* index_table_avx512;

// A zero-filled, 64-byte aligned table of index_table_entries, never freed;
// ends the process with a message on standard error when memory is short.
std::uint32_t* allocate_index_table();

void build_index_table_avx2();    // returns at once when already built
void build_index_table_avx512();  // always builds
void ensure_index_table_avx512(); // builds only when missing

}  // namespace nolu::qxt
