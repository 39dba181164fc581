// The arena of one mining thread: block storage mapped in the largest pages
// the system gives, and the side structures its settings ask for.
#pragma once

#include <cstdint>

#include "common/expected.hpp"
#include "hash/settings.hpp"

namespace nolu::qxt {

struct Arena {
    HashSettings settings;           // the layout it was mapped for; the engines read it
    void* base = nullptr;            // block storage, null when not allocated
    std::uint64_t size = 0;          // arena_bytes(settings) at allocation
    void* side_buf = nullptr;        // side_slots KiB, 2 MiB aligned, or null
    std::uint64_t side_bytes = 0;    // length of its mapping
    std::uint32_t* ref_table = nullptr;
    bool huge_pages = false;         // explicit huge pages (1 GiB or 2 MiB)
    std::int32_t page_shift = 21;    // 30 for 1 GiB pages, else 21
    std::uint64_t mapped_bytes = 0;  // length actually mapped (size rounded up to the page size)
};

// Maps the storage (1 GiB pages, else 2 MiB pages, else ordinary pages on a
// 2 MiB boundary with transparent huge pages advised, populated at once with
// settings.prefault where the kernel can) and the side structures. On
// failure nothing stays allocated.
Status arena_allocate(Arena& arena, const HashSettings& settings);
// Frees everything the record holds; safe on an empty record.
void arena_release(Arena& arena);

// The arena slot of block j under the given skip point, or no_slot when the
// block is not stored (odd and at or past skip_from).
inline constexpr std::uint32_t no_slot = 0xFFFFFFFFu;
std::uint32_t stored_position(std::uint32_t j, std::uint32_t skip_from);

// Tiled word order of the AVX-512 engine, for tests and tools.
void to_tiled(const std::uint64_t* standard, std::uint64_t* tiled);
void from_tiled(const std::uint64_t* tiled, std::uint64_t* standard);

}  // namespace nolu::qxt
