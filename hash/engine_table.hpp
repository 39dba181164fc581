// The engine table: every fill engine, in order of preference, with what it
// needs and offers. Start-up, the option rules, the offline modes, the
// benchmark and the tests all choose from it; adding an engine (or a variant
// of one) means adding a row.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/expected.hpp"
#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "host/isa_support.hpp"

namespace nolu::qxt {

// Computes the 32-byte tag of one header and nonce in the caller's arena;
// reads the arena's settings, keeps no state, cannot fail. The settings must
// have been through the engine's prepare step (its index table), and an
// engine without memory options needs a full arena (no skip-store, no side
// cache): start-up's option rules see to both.
using Engine = void (*)(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out);

// Recomputes the not-stored odd block j (skip_from < j < 2^21) of the hash in
// progress into out (1 KiB, 64-byte aligned, the engine's word order).
using RebuildFn = const void* (*)(const Arena& arena, std::uint32_t j, void* out);

// Most nonces one thread hashes at once (--lanes).
inline constexpr unsigned max_lanes = 4;

// One lane of a multi-lane call: its own arena, header, nonce and output.
struct LaneWork {
    const Arena* arena;
    const std::uint8_t* header;
    std::uint64_t nonce;
    std::uint8_t* out;  // 32 bytes
};

// Computes the tags of n lanes (1 <= n <= max_lanes) at once, interleaving
// them block by block so that one lane's compression covers another lane's
// memory wait. Every arena has the same settings (prepared as for Engine);
// each tag equals what Engine gives for that lane alone. With n above 1 the
// call ends early, writing no tag, once the settings' stop flag is set.
using LaneEngine = void (*)(const LaneWork* lanes, unsigned n);

// Hashes n nonces of one header (1 <= n <= max_lanes; hash_lanes may be
// null when n is 1), nonce k in arenas[k] with its 32-byte tag at
// tags + 32 k: the engine alone for one nonce, the lane entry for more.
void hash_nonces(Engine hash, LaneEngine hash_lanes, const Arena* arenas, const std::uint8_t* header,
                 const std::uint64_t* nonces, unsigned n, std::uint8_t* tags);

// The limits the benchmark sets beside each engine, with the engine's own
// instructions:
// - compute: `count` compressions on a window of `window_blocks` blocks
//   (64-byte aligned, small enough to stay in cache), each result stored
//   back into the window;
// - random: `count` blocks of memory traffic as the first half makes it: a
//   random 1 KiB block of the storage read (prefetched eight blocks ahead)
//   and a 1 KiB non-temporal store to the next block in order; returns a
//   checksum of what was read.
// - chains (null where the engine has none): the second half's walk without
//   its hash, to find what limits lanes; see ChainProbe.
struct ChainProbe;
struct EngineProbes {
    void (*compute)(void* window, std::uint32_t window_blocks, std::uint64_t count);
    std::uint64_t (*random)(void* storage, std::uint64_t bytes, std::uint64_t count);
    std::uint64_t (*chains)(const ChainProbe& probe, std::uint64_t steps);
};

// `chains` dependent walks taken in turn by one thread, as lanes take the
// second half: each step of a chain reads the block its last step picked,
// runs `compressions` compressions of the chain's running block with it,
// streams the result to the next block in order, and picks its next block
// from word 0 of the result by the hash's own reference rule. The next block
// is prefetched (16 lines, with `hint`, in `order`) at `point`. An engine's
// probe takes the engine's settings or any one of them changed.
struct ChainProbe {
    // index: where a real block reveals it (5/8 through the compression);
    // start: one compression earlier than a hash can know it
    enum class Point { none, start, index, end };
    enum class Hint { t0, t1, t2, nta };
    enum class Order { forward, backward };
    void* storage[max_lanes];  // one per chain, or the same one for all
    std::uint64_t blocks = 0;  // blocks in each storage
    unsigned chains = 1;       // 1 .. max_lanes
    unsigned compressions = 1; // 0 .. 2 between two reads of a chain
    bool paired = false;       // two chains compressed at once, as an even count of lanes is (even counts)
    Point point = Point::index;
    Hint hint = Hint::nta;
    Order order = Order::forward;
};

struct EngineRow {
    const char* name;                     // --engine value, and the name in reports
    bool (*usable)(const IsaSupport& isa);
    const char* unusable;                 // why it cannot be forced on this processor
    bool automatic;                       // may be chosen without --engine
    bool memory_options;                  // accepts skip-store and the side cache
    Status (*prepare)(HashSettings& settings);  // sets its index table (own instructions)
    Engine hash;
    HPrime hprime;                        // its form of H'
    RebuildFn rebuild;                    // null without skip-store
    LaneEngine hash_lanes;                // null: one nonce per thread only (no --lanes)
    EngineProbes probes;                  // its limits (the benchmark)
    unsigned default_lanes = 1;           // lanes per thread without --lanes, where memory holds them:
                                          // more than one only where that measured faster
    bool lanes_in_pairs = false;          // even counts run in pairs, odd ones lane by lane: slower than one fewer
};

// All rows, the preferred first.
std::span<const EngineRow> engine_rows();
// The row of that name, or null.
const EngineRow* find_engine(std::string_view name);

// The engine for --engine requested (empty or unknown: the best this
// processor can run). Fails when nothing usable remains, or when a known
// engine is forced that the processor cannot run.
Expected<const EngineRow*> choose_engine(std::string_view requested, const IsaSupport& isa);

}  // namespace nolu::qxt
