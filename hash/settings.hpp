// The memory settings one engine hashes with: the skip-store point, rebuild,
// the reference table, the first-half index table and the side-cache plan.
// Start-up builds one value from the options and the memory budget; every
// arena keeps a copy, so nothing here is process-wide.
#pragma once

#include <atomic>
#include <cstdint>

#include "hash/argon2.hpp"

namespace nolu::qxt {

struct SidePlan;

struct HashSettings {
    std::uint32_t skip_from = block_count;       // first block whose odd blocks are not stored; 2^21 = off
    bool rebuild = true;                         // false only for the --skip-norebuild probe
    bool reft = false;                           // each arena gets a reference table (with skip-store)
    const std::uint32_t* index_table = nullptr;  // the engine's own, set by its prepare step
    const SidePlan* side = nullptr;              // null: no side cache; must outlive every arena using it
    void (*on_half)() = nullptr;                 // called between the halves (benchmark clock), else null
    bool prefault = false;                       // populate ordinary-page storage when it is mapped
    // A multi-lane call (several hashes' time) ends early once this is set,
    // without writing its tags; null: every call runs to its end.
    const std::atomic<bool>* stop = nullptr;
};

// The skip-store point for a permille: 0 (and 1000 or more) is off; other
// values are clamped to 500..1000 and rounded to a multiple of 2048 blocks
// (a remainder of exactly 1024 rounds down).
std::uint32_t skip_point(std::uint32_t permille);

// settings with skip-store at permille; off (permille 0) forces rebuild on.
HashSettings with_skip(HashSettings settings, std::uint32_t permille, bool rebuild);

bool skip_store_on(const HashSettings& settings);
// The skip point in permille of all blocks, rounded up; 0 when off.
std::uint32_t skip_permille(const HashSettings& settings);
// Bytes of block storage one arena needs: 2 GiB, or less with skip-store
// (a multiple of 2 MiB).
std::uint64_t arena_bytes(const HashSettings& settings);
// Reference-table entries an arena gets (0 when none is made).
std::uint64_t ref_table_entries(const HashSettings& settings);
// 1 KiB side-cache slots per arena, 0 when off.
std::uint32_t side_slots(const HashSettings& settings);

}  // namespace nolu::qxt
