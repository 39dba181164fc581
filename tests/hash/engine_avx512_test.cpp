// The AVX-512 engine against the committed vectors (computed with libargon2)
// in every option combination, every row of the engine table against
// libargon2, the skip-store probe, and the row's block rebuild on the blocks
// of real hashes. Each test holds at most two arenas at a time.
#include <argon2.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "hash/core_inline.hpp"
#include "hash/engine_table.hpp"
#include "hash/settings.hpp"
#include "hash/side_cache.hpp"
#include "host/cpu_features.hpp"
#include "tests/support/argon2_oracle.hpp"
#include "tests/support/vectors.hpp"

namespace nolu::qxt {
namespace {

using Tag = std::array<std::uint8_t, hash_bytes>;
using test::hex;
using test::shipped_vectors;
using test::VectorRecord;

// One arena, mapped for the settings it is given and released with it.
class TestArena {
public:
    explicit TestArena(const HashSettings& settings) {
        const Status status = arena_allocate(arena_, settings);
        if (!status) error_ = status.error().message;
    }
    ~TestArena() { arena_release(arena_); }
    TestArena(const TestArena&) = delete;
    TestArena& operator=(const TestArena&) = delete;

    bool ok() const { return arena_.base != nullptr; }
    const std::string& error() const { return error_; }
    const Arena& arena() const { return arena_; }

private:
    Arena arena_;
    std::string error_;
};

Tag hash(const EngineRow& row, const TestArena& arena, const VectorRecord& v) {
    Tag out{};
    row.hash(arena.arena(), v.header.data(), v.nonce, out.data());
    return out;
}

class EngineAvx512 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!detect_isa().avx512) GTEST_SKIP() << "this processor has no usable AVX-512 F, VL and BW";
        row_ = find_engine("avx512");
        ASSERT_NE(row_, nullptr);
        ASSERT_TRUE(row_->memory_options);
        ASSERT_NE(row_->rebuild, nullptr);
        const Status status = row_->prepare(prepared_);
        ASSERT_TRUE(status) << status.error().message;
        ASSERT_GE(shipped_vectors().size(), 4u) << "tools/vectors.txt is missing or short";
    }

    // The row's prepared settings with the given memory options.
    HashSettings options(std::uint32_t skip, bool reft, const SidePlan* side = nullptr, bool rebuild = true) const {
        HashSettings s = with_skip(prepared_, skip, rebuild);
        s.reft = reft;
        s.side = side;
        return s;
    }

    // Hashes `count` vectors, starting at `first`, on an arena of the given settings.
    void expect_vectors(const HashSettings& settings, std::size_t first, std::size_t count, const std::string& what) {
        TestArena arena(settings);
        ASSERT_TRUE(arena.ok()) << arena.error();
        const auto& vectors = shipped_vectors();
        for (std::size_t k = 0; k < count; ++k) {
            const VectorRecord& v = vectors[(first + k) % vectors.size()];
            EXPECT_EQ(hex(hash(*row_, arena, v)), hex(v.tag)) << what << ", nonce " << v.nonce;
        }
    }

    const EngineRow* row_ = nullptr;
    HashSettings prepared_;
};

TEST_F(EngineAvx512, NoOptionsMatchesEveryVectorOnOneReusedArena) {
    // The whole file, then the first record again: nothing carries over between hashes.
    expect_vectors(options(0, false), 0, shipped_vectors().size() + 1, "no options");
}

TEST_F(EngineAvx512, AgreesWithLibargon2AndTheOtherEngines) {
    std::array<std::uint8_t, header_bytes> header;
    for (std::size_t i = 0; i < header_bytes; ++i) header[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::uint64_t nonce = 0x0123456789ABCDEFull;
    Tag expected{};
    ASSERT_EQ(test::libargon2_tag(header.data(), nonce, expected.data()), ARGON2_OK);
    const VectorRecord v{header, nonce, expected};

    // Every row this processor runs (AVX-512, AVX2 and plain here), each with
    // its own prepared settings and an arena mapped for them.
    const IsaSupport isa = detect_isa();
    std::vector<std::string> ran;
    for (const EngineRow& row : engine_rows()) {
        if (!row.usable(isa)) continue;
        HashSettings settings;
        const Status prepared = row.prepare(settings);
        ASSERT_TRUE(prepared) << row.name << ": " << prepared.error().message;
        TestArena arena(settings);
        ASSERT_TRUE(arena.ok()) << arena.error();
        EXPECT_EQ(hex(hash(row, arena, v)), hex(expected)) << row.name;
        ran.push_back(row.name);
    }
    EXPECT_EQ(ran, (std::vector<std::string>{"avx512", "avx2", "plain"}));
}

TEST_F(EngineAvx512, SkipStoreWithAndWithoutReferenceTable) {
    std::size_t first = 0;
    for (const std::uint32_t permille : {500u, 600u, 999u}) {
        for (const bool reft : {false, true}) {
            const HashSettings settings = options(permille, reft);
            ASSERT_TRUE(skip_store_on(settings));
            EXPECT_EQ(ref_table_entries(settings) != 0, reft);
            expect_vectors(settings, first, 2, "skip " + std::to_string(permille) + (reft ? " reft" : ""));
            first += 2;
        }
    }
}

TEST_F(EngineAvx512, SideCacheAloneAndWithSkipStore) {
    const std::uint32_t slot_counts[] = {256, 1024, 4096, 65000};
    std::vector<SidePlan> plans;
    for (const std::uint32_t slots : slot_counts) plans.push_back(side_plan(prepared_.index_table, slots, 0));
    std::size_t first = 1;
    for (const std::uint32_t skip : {0u, 600u}) {
        for (const SidePlan& plan : plans) {
            const HashSettings settings = options(skip, false, &plan);
            ASSERT_EQ(side_slots(settings), plan.slots);
            expect_vectors(settings, first, 2,
                           "side " + std::to_string(plan.slots) + " skip " + std::to_string(skip));
            first += 3;
        }
    }
    for (std::size_t n = 0; n < plans.size(); ++n) EXPECT_EQ(plans[n].slots, slot_counts[n]);
}

TEST_F(EngineAvx512, ProbeWithoutRebuildGivesWrongTags) {
    const VectorRecord& v = shipped_vectors()[2];
    for (const bool reft : {false, true}) {
        const HashSettings settings = options(600, reft, nullptr, false);
        ASSERT_FALSE(settings.rebuild);
        TestArena arena(settings);
        ASSERT_TRUE(arena.ok()) << arena.error();
        EXPECT_NE(hex(hash(*row_, arena, v)), hex(v.tag)) << (reft ? "reft" : "no reft");
    }
}

// The row's rebuild on a real hash: every dropped block it is asked for
// equals the block that a full arena stored, including the deepest chains,
// whether it follows the reference table or word 0 of the stored blocks.
TEST_F(EngineAvx512, RebuildEqualsTheStoredBlocksOfAFullArena) {
    const VectorRecord& v = shipped_vectors()[3];
    TestArena full(options(0, false));
    ASSERT_TRUE(full.ok()) << full.error();
    hash(*row_, full, v);
    const auto* full_base = static_cast<const std::uint8_t*>(full.arena().base);
    auto word0 = [&](std::uint32_t j) {
        std::uint32_t w;
        std::memcpy(&w, full_base + std::uint64_t{j} * block_bytes, 4);  // word 0 in either word order
        return w;
    };

    TestArena skipped(options(500, true));
    ASSERT_TRUE(skipped.ok()) << skipped.error();
    const std::uint32_t skip_from = skipped.arena().settings.skip_from;
    ASSERT_NE(skipped.arena().ref_table, nullptr);
    EXPECT_EQ(hex(hash(*row_, skipped, v)), hex(v.tag));

    // Chain depth of every dropped block, from the full arena's word 0s.
    std::vector<std::uint32_t> depth((block_count - skip_from) / 2, 0);
    std::uint32_t deepest = skip_from + 1;
    for (std::uint32_t j = skip_from + 1; j < block_count; j += 2) {
        const std::uint32_t a = ref_index(j, word0(j - 1));
        ASSERT_EQ(skipped.arena().ref_table[(j - skip_from) >> 1], a) << j;
        const bool a_dropped = a >= skip_from && (a & 1) != 0;
        depth[(j - skip_from) >> 1] = 1 + (a_dropped ? depth[(a - skip_from) >> 1] : 0);
        if (depth[(j - skip_from) >> 1] > depth[(deepest - skip_from) >> 1]) deepest = j;
    }
    std::printf("deepest chain in this hash: block %u, %u levels\n", deepest, depth[(deepest - skip_from) >> 1]);
    EXPECT_GE(depth[(deepest - skip_from) >> 1], 3u);

    // The same record without its table: the rebuild then walks the chain by
    // word 0 of each stored predecessor.
    const Arena without_table = [&] {
        Arena copy = skipped.arena();
        copy.ref_table = nullptr;
        return copy;
    }();

    std::vector<std::uint32_t> sample = {skip_from + 1, skip_from + 3, deepest, block_count - 1};
    for (std::uint32_t j = skip_from + 1001; j < block_count; j += 2 * 40961) sample.push_back(j);
    alignas(64) std::uint8_t out[block_bytes];
    for (const std::uint32_t j : sample) {
        for (const Arena* arena : {&without_table, &skipped.arena()}) {
            std::memset(out, 0, sizeof out);
            ASSERT_EQ(row_->rebuild(*arena, j, out), out);
            EXPECT_EQ(std::memcmp(out, full_base + std::uint64_t{j} * block_bytes, block_bytes), 0)
                << "block " << j << (arena->ref_table != nullptr ? " with" : " without") << " table";
        }
    }
}

}  // namespace
}  // namespace nolu::qxt
