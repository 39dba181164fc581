// The one dispatch point of the engines.
#include "hash/engine_table.hpp"

#include "hash/blake2b.hpp"
#include "hash/index_table.hpp"
#include "hash/isa.hpp"
#include "hash/memory_probe.hpp"
#include "hash/plain.hpp"

namespace nolu::qxt {

namespace {

bool always(const IsaSupport&) { return true; }
bool with_avx2(const IsaSupport& isa) { return isa.avx2; }
bool with_avx512(const IsaSupport& isa) { return isa.avx512; }

template <AddressBlockFn make>
Status prepare_with(HashSettings& settings) {
    const Expected<const std::uint32_t*> table = cached_index_table(make);
    if (!table) return table.error();
    settings.index_table = *table;
    return success();
}

// default_lanes, 5 alternating rounds (README, "Where lanes pay"): AVX-512
// on an Intel Xeon with AVX-512 FP16 (2 vCPU, KVM, transparent huge pages),
// against one lane, 4 lanes 1.18x at 1 thread and 1.09x at 2, 2 lanes 1.13x
// and 1.04x, 3 lanes (one unpaired) below 2; on AMD EPYC Zen 4, 2 lanes
// 1.18x and 1.08x. AVX2 with 2 lanes 0.99x.
constexpr EngineRow rows[] = {
    {"avx512", with_avx512, "AVX-512 engine requested but this CPU has no AVX-512 (F, VL, BW)", true, true,
     prepare_with<address_block_avx512>, engine_avx512, hprime_1024_avx512, rebuild_block_avx512,
     engine_lanes_avx512, {window_run_avx512, random_run_avx512, chain_run_avx512}, 4, true},
    {"avx2", with_avx2, "AVX2 engine requested but this CPU has no AVX2", true, false,
     prepare_with<address_block_avx2>, engine_avx2, hprime_1024, nullptr, engine_lanes_avx2,
     {window_run_avx2, random_run_avx2, nullptr}, 1},
    {"plain", always, "", false, false, prepare_with<address_block_plain>, engine_plain, hprime_1024, nullptr, nullptr,
     {window_run_plain, probe_random_blocks, nullptr}, 1},
};

}  // namespace

std::span<const EngineRow> engine_rows() { return rows; }

void hash_nonces(Engine hash, LaneEngine hash_lanes, const Arena* arenas, const std::uint8_t* header,
                 const std::uint64_t* nonces, unsigned n, std::uint8_t* tags) {
    if (n == 1) {
        hash(arenas[0], header, nonces[0], tags);
        return;
    }
    LaneWork work[max_lanes];
    for (unsigned k = 0; k < n; ++k) work[k] = {&arenas[k], header, nonces[k], tags + std::size_t{32} * k};
    hash_lanes(work, n);
}

const EngineRow* find_engine(std::string_view name) {
    for (const EngineRow& row : rows)
        if (name == row.name) return &row;
    return nullptr;
}

Expected<const EngineRow*> choose_engine(std::string_view requested, const IsaSupport& isa) {
    const EngineRow* forced = find_engine(requested);
    if (forced != nullptr && !forced->automatic) forced = nullptr;  // only the automatic rows can be forced
    if (forced != nullptr && forced->usable(isa)) return forced;
    const EngineRow* best = nullptr;
    for (const EngineRow& row : rows) {
        if (row.automatic && row.usable(isa)) {
            best = &row;
            break;
        }
    }
    if (best == nullptr) return fail("this CPU has neither AVX-512 nor AVX2: not supported");
    if (forced != nullptr) return fail(forced->unusable);
    return best;
}

}  // namespace nolu::qxt
