// The reference indices of the data-independent half (blocks 2..0xFFFFF),
// identical for every header and nonce, computed once per process by each
// engine with its own instructions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/expected.hpp"

namespace nolu::qxt {

inline constexpr std::size_t index_table_entries = std::size_t{1} << 20;

// One engine's way of making an address block: out = G(0, G(0, z)), both in
// standard word order.
using AddressBlockFn = void (*)(const std::uint64_t* z, std::uint64_t* out);

// Writes entries 2..0xFFFFF of a table of index_table_entries: entry j is
// r(j), with J1 from the Argon2i address blocks that make produces.
void fill_index_table(std::uint32_t* table, AddressBlockFn make);

// The table made with make, built on the first call (64-byte aligned,
// entries 0 and 1 zero) and kept for the life of the process.
Expected<const std::uint32_t*> cached_index_table(AddressBlockFn make);

}  // namespace nolu::qxt
