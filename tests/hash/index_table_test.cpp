// The AVX2 row's index table against the indices the plain work function
// derives from its own Argon2i address blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hash/argon2.hpp"
#include "hash/core_inline.hpp"
#include "hash/engine_table.hpp"
#include "hash/index_table.hpp"
#include "hash/plain.hpp"
#include "host/cpu_features.hpp"

using namespace nolu::qxt;

TEST(IndexTable, Avx2TableEqualsPlainIndices) {
    const EngineRow* avx2 = find_engine("avx2");
    ASSERT_NE(avx2, nullptr);
    if (!avx2->usable(detect_isa())) GTEST_SKIP() << avx2->unusable;
    HashSettings settings;
    const Status prepared = avx2->prepare(settings);
    ASSERT_TRUE(prepared) << prepared.error().message;
    const std::uint32_t* table = settings.index_table;
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table) % 64, 0u);
    EXPECT_EQ(table[0], 0u);  // blocks 0 and 1 read nothing
    EXPECT_EQ(table[1], 0u);

    std::vector<std::uint32_t> plain(index_table_entries, 0);
    fill_index_table(plain.data(), address_block_plain);
    std::size_t differ = 0;
    for (std::uint32_t j = 2; j < half_blocks; ++j) differ += table[j] != plain[j];
    EXPECT_EQ(differ, 0u);

    EXPECT_EQ(table[2], 0u);
    for (std::uint32_t j = 2; j < half_blocks; ++j) ASSERT_LE(table[j], j - 2) << j;

    // Slice 1 starts a fresh counter: block 0x80000 takes word 0 of slice 1's
    // first address block, over the whole area behind block 0x7FFFF.
    std::uint64_t z[128] = {}, once[128], address[128];
    const std::uint64_t zero[128] = {};
    z[2] = 1;
    z[3] = block_count;
    z[4] = 1;
    z[5] = 2;
    z[6] = 1;
    compress_plain(zero, z, once);
    compress_plain(zero, once, address);
    EXPECT_EQ(table[slice_blocks], ref_index(slice_blocks, address[0]));

    // a second prepare keeps the table
    HashSettings again;
    ASSERT_TRUE(avx2->prepare(again));
    EXPECT_EQ(again.index_table, table);
}
