// AVX-512 building blocks that need no 2 GiB arena, reached through the
// engine table's AVX-512 row: its index table, its 512-bit H', and its block
// rebuild on hand-made chains of dropped blocks, checked against the plain
// engine's scalar compression.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "hash/blake2b.hpp"
#include "hash/engine_table.hpp"
#include "hash/index_table.hpp"
#include "hash/plain.hpp"
#include "host/cpu_features.hpp"

namespace nolu::qxt {
namespace {

#define REQUIRE_AVX512() \
    if (!detect_isa().avx512) GTEST_SKIP() << "this processor has no usable AVX-512 F, VL and BW"

using Block = std::vector<std::uint64_t>;

Block compress_ref(const Block& x, const Block& y) {
    Block out(128);
    compress_plain(x.data(), y.data(), out.data());
    return out;
}

const EngineRow& avx512_row() {
    const EngineRow* row = find_engine("avx512");
    if (row == nullptr) {
        ADD_FAILURE() << "the engine table has no avx512 row";
        std::abort();
    }
    return *row;
}

// The index table a row's prepare step gives, or null (with a failure).
const std::uint32_t* prepared_table(const char* name) {
    const EngineRow* row = find_engine(name);
    if (row == nullptr) {
        ADD_FAILURE() << "no row " << name;
        return nullptr;
    }
    HashSettings settings;
    const Status status = row->prepare(settings);
    if (!status) {
        ADD_FAILURE() << name << ": " << status.error().message;
        return nullptr;
    }
    return settings.index_table;
}

// ---- index table ------------------------------------------------------------

TEST(IndexTableAvx512, EqualsTheAvx2TableAndTheArgon2iIndices) {
    REQUIRE_AVX512();
    const std::uint32_t* const table = prepared_table("avx512");
    const std::uint32_t* const avx2 = prepared_table("avx2");
    ASSERT_NE(table, nullptr);
    ASSERT_NE(avx2, nullptr);
    EXPECT_NE(table, avx2);  // each row builds its own, with its own instructions
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table) % 64, 0u);
    EXPECT_EQ(std::memcmp(table + 2, avx2 + 2, (index_table_entries - 2) * 4), 0);
    std::vector<std::uint32_t> plain(index_table_entries);
    fill_index_table(plain.data(), address_block_plain);
    EXPECT_EQ(std::memcmp(table + 2, plain.data() + 2, (index_table_entries - 2) * 4), 0);
    EXPECT_EQ(table[2], 0u);
    for (std::uint32_t j = 2; j < index_table_entries; ++j) ASSERT_LE(table[j], j - 2) << j;
    // A second prepare keeps the allocation and the contents.
    const std::vector<std::uint32_t> copy(table, table + index_table_entries);
    EXPECT_EQ(prepared_table("avx512"), table);
    EXPECT_EQ(std::memcmp(copy.data() + 2, table + 2, (index_table_entries - 2) * 4), 0);
}

// ---- H' ------------------------------------------------------------------

TEST(HprimeAvx512, EqualsThe128BitForm) {
    REQUIRE_AVX512();
    std::mt19937 rng(3);
    for (int n = 0; n < 8; ++n) {
        std::uint8_t in[72];
        for (auto& b : in) b = static_cast<std::uint8_t>(rng());
        alignas(64) std::uint8_t a[1024 + 64];
        std::uint8_t b[1024 + 64];
        std::memset(a, 0xAA, sizeof a);
        std::memset(b, 0x55, sizeof b);
        avx512_row().hprime(a, in);
        hprime_1024(b, in);
        EXPECT_EQ(std::memcmp(a, b, 1024), 0);
        EXPECT_EQ(a[1024], 0xAA) << "wrote past the block";
    }
}

// ---- block rebuild on synthetic chains -------------------------------------

// A sparse stand-in for an arena: only the few slots a test fills are touched.
// The record is made by hand (storage, skip point, reference table) rather
// than by arena_allocate, which would map the whole arena.
class ChainArena : public ::testing::Test {
protected:
    static constexpr std::uint32_t levels = 150;  // longer than the rebuild's remembered stack

    void SetUp() override {
        REQUIRE_AVX512();
        ASSERT_NE(avx512_row().rebuild, nullptr);
        arena.settings = with_skip(HashSettings{}, 500, true);
        skip_from = arena.settings.skip_from;
        ASSERT_EQ(skip_from, 0x100000u);
        top = skip_from + 2 * levels - 1;
        bytes = std::uint64_t{skip_from + levels + 8} * block_bytes;
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(p, MAP_FAILED);
        base = static_cast<std::uint8_t*>(p);
        arena.base = base;
        arena.size = bytes;
        std::mt19937_64 rng(11);
        // Stored blocks: skip_from - 1 (natural slot) and the even blocks from skip_from.
        // Word 0 has a zero low half, so without a table every dropped block j
        // references j - 2: the chain runs down to skip_from - 1.
        auto make = [&](std::uint32_t j) {
            Block b(128);
            for (auto& w : b) w = rng();
            b[0] &= 0xFFFFFFFF00000000ull;
            blocks[j] = b;
            to_tiled(b.data(), slot(stored_position(j, skip_from)));
        };
        make(skip_from - 1);
        for (std::uint32_t j = skip_from; j < top; j += 2) make(j);
    }
    void TearDown() override {
        if (base != nullptr) munmap(base, bytes);
    }

    std::uint64_t* slot(std::uint32_t s) {
        return reinterpret_cast<std::uint64_t*>(base + std::uint64_t{s} * block_bytes);
    }

    Block rebuilt(std::uint32_t* table, std::uint32_t j) {
        alignas(64) std::uint64_t out[128];
        arena.ref_table = table;
        EXPECT_EQ(avx512_row().rebuild(arena, j, out), out);
        Block b(128);
        from_tiled(out, b.data());
        return b;
    }

    std::uint32_t skip_from = 0, top = 0;
    std::uint64_t bytes = 0;
    std::uint8_t* base = nullptr;
    Arena arena;
    std::vector<Block> blocks = std::vector<Block>(0x100000 + 2 * levels + 8);
};

TEST_F(ChainArena, RebuildsAChainLongerThanItsStackFromWordZero) {
    for (std::uint32_t j = skip_from + 1; j <= top; j += 2) blocks[j] = compress_ref(blocks[j - 1], blocks[j - 2]);
    for (const std::uint32_t j : {skip_from + 1, skip_from + 3, skip_from + 129, skip_from + 131, top}) {
        EXPECT_TRUE(rebuilt(nullptr, j) == blocks[j]) << "block " << j << ", chain depth " << (j - skip_from + 1) / 2;
    }
}

TEST_F(ChainArena, RebuildsChainsThatTheReferenceTableDescribes) {
    // The upper dropped blocks form one long chain (deeper than the rebuild's
    // remembered stack); below it each dropped block references one of the
    // last few dropped blocks, or a stored block that ends the chain.
    std::vector<std::uint32_t> table(levels + 16, 0xDEADBEEF);
    std::mt19937 rng(5);
    for (std::uint32_t j = skip_from + 1; j <= top; j += 2) {
        const std::uint32_t pick = rng() % 8;
        std::uint32_t a;
        if (j > skip_from + 140) {
            a = j - 2;
        } else if (j < skip_from + 7 || pick == 0) {
            a = skip_from - 1;
        } else if (pick == 1) {
            a = skip_from + 2 * (rng() % ((j - skip_from) / 2));
        } else {
            a = j - 2 * (1 + pick % 3);
        }
        table[(j - skip_from) >> 1] = a;
        blocks[j] = compress_ref(blocks[j - 1], blocks[a]);
    }
    for (std::uint32_t j = skip_from + 1; j <= top; j += 2) {
        ASSERT_TRUE(rebuilt(table.data(), j) == blocks[j]) << "block " << j;
    }
}

}  // namespace
}  // namespace nolu::qxt
