// The arena of one mining thread and the process-wide memory-saving settings
// (skip-store, reference table, side cache) that shape it.
#pragma once

#include <cstdint>

namespace nolu::qxt {

// Written on the main thread before any arena exists, read-only afterwards.
struct EngineSettings {
    std::uint32_t skip_from = 0x200000;  // first block whose odd blocks are not stored; 2^21 = off
    bool rebuild = true;                 // false only for the --skip-norebuild probe
    bool reft = false;                   // each arena gets a reference table (with skip-store)
    std::uint32_t side_slots = 0;        // 1 KiB side-cache slots, 0 = off
};
extern EngineSettings engine_settings;

void set_skip(std::uint32_t permille, bool rebuild);
void set_reft(bool on);
std::uint32_t skip_permille();
std::uint64_t arena_bytes();
bool skip_store_on();

inline constexpr std::uint32_t no_slot = 0xFFFFFFFFu;
// Arena slot of block j under the given skip point, or no_slot when the
// block is not stored (odd and at or past skip_from).
std::uint32_t stored_position(std::uint32_t j, std::uint32_t skip_from);
std::uint32_t stored_position(std::uint32_t j);  // current settings

// Reference-table entries for the current settings (0 when none is made).
std::uint64_t ref_table_entries();

// Tiled word order of the AVX-512 engine: line n = 4r + q holds standard
// words 32r+4q..32r+4q+3, then 32r+4q+16..32r+4q+19.
void to_tiled(const std::uint64_t* standard, std::uint64_t* tiled);
void from_tiled(const std::uint64_t* tiled, std::uint64_t* standard);

struct Arena {
    void* base = nullptr;            // block storage, null when not allocated
    std::uint64_t size = 0;          // arena_bytes() at allocation
    void* side_buf = nullptr;        // side_slots KiB, 64-byte aligned, or null
    std::uint32_t* ref_table = nullptr;
    bool huge_pages = false;         // explicit huge pages (1 GiB or 2 MiB)
    std::int32_t page_shift = 21;    // 30 for 1 GiB pages, else 21
    std::uint64_t mapped_bytes = 0;  // length actually mapped (size rounded up to the page size)
};

bool arena_allocate(Arena& arena);
void arena_release(Arena& arena);

}  // namespace nolu::qxt
