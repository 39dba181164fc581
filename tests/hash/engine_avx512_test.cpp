// The AVX-512 engine against the committed vectors (computed with libargon2)
// in every option combination, against libargon2, the AVX2 engine and the
// plain engine directly, the skip-store probe, and rebuild_block on the
// blocks of real hashes. Each test maps at most two arenas.
#include <argon2.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hash/arena.hpp"
#include "hash/argon2.hpp"
#include "hash/engine.hpp"
#include "hash/index_table.hpp"
#include "hash/side_cache.hpp"
#include "host/cpu_features.hpp"

namespace nolu::qxt {
namespace {

using Tag = std::array<std::uint8_t, hash_bytes>;

struct Vector {
    std::array<std::uint8_t, header_bytes> header;
    std::uint64_t nonce;
    Tag tag;
};

bool parse_hex(const std::string& text, std::uint8_t* out, std::size_t n) {
    if (text.size() != 2 * n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned v = 0;
        if (std::sscanf(text.c_str() + 2 * i, "%2x", &v) != 1) return false;
        out[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

const std::vector<Vector>& vectors() {
    static const std::vector<Vector> all = [] {
        std::vector<Vector> v;
        std::ifstream in(QXT_SOURCE_DIR "/tools/vectors.txt");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string header, tag;
            Vector rec{};
            if (!(fields >> header >> rec.nonce >> tag)) continue;
            if (parse_hex(header, rec.header.data(), header_bytes) && parse_hex(tag, rec.tag.data(), hash_bytes)) {
                v.push_back(rec);
            }
        }
        return v;
    }();
    return all;
}

Tag hash(Engine engine, const Arena& arena, const Vector& v) {
    Tag out{};
    engine(arena, v.header.data(), v.nonce, out.data());
    return out;
}

std::string hex(const Tag& t) {
    std::string s;
    char b[3];
    for (auto c : t) {
        std::snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

// An arena for the current skip setting. The side buffer and the reference
// table are swapped in place when those settings change, so that the 2 GiB
// mapping is made once per skip point.
class TestArena {
public:
    TestArena() { ok_ = arena_allocate(arena_); }
    ~TestArena() { arena_release(arena_); }
    TestArena(const TestArena&) = delete;
    TestArena& operator=(const TestArena&) = delete;

    bool ok() const { return ok_; }
    const Arena& arena() const { return arena_; }

    void follow_settings() {
        std::free(arena_.side_buf);
        arena_.side_buf = nullptr;
        if (const std::size_t slots = engine_settings.side_slots) {
            arena_.side_buf = std::aligned_alloc(64, slots * block_bytes);
            std::memset(arena_.side_buf, 0, slots * block_bytes);
        }
        std::free(arena_.ref_table);
        arena_.ref_table = nullptr;
        if (const std::uint64_t entries = ref_table_entries()) {
            const std::size_t bytes = (entries * 4 + 63) & ~std::size_t{63};
            arena_.ref_table = static_cast<std::uint32_t*>(std::aligned_alloc(64, bytes));
            std::memset(arena_.ref_table, 0, bytes);
        }
    }

private:
    Arena arena_;
    bool ok_ = false;
};

class EngineAvx512 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!avx512_usable()) GTEST_SKIP() << "this processor has no usable AVX-512 F, VL and BW";
        ensure_index_table_avx512();
        ASSERT_GE(vectors().size(), 4u) << "tools/vectors.txt is missing or short";
    }
    void TearDown() override {
        side_plan(0, 0);
        set_skip(0, true);
        set_reft(false);
    }

    // Hashes `count` vectors, starting at `first`, with the current settings.
    void expect_vectors(TestArena& arena, std::size_t first, std::size_t count, const std::string& what) {
        arena.follow_settings();
        for (std::size_t k = 0; k < count; ++k) {
            const Vector& v = vectors()[(first + k) % vectors().size()];
            EXPECT_EQ(hex(hash(engine_avx512, arena.arena(), v)), hex(v.tag)) << what << ", nonce " << v.nonce;
        }
    }
};

TEST_F(EngineAvx512, NoOptionsMatchesEveryVectorOnOneReusedArena) {
    TestArena arena;
    ASSERT_TRUE(arena.ok());
    // The whole file, then the first record again: nothing carries over between hashes.
    expect_vectors(arena, 0, vectors().size() + 1, "no options");
}

TEST_F(EngineAvx512, AgreesWithLibargon2AndTheOtherEngines) {
    std::array<std::uint8_t, header_bytes> header;
    for (std::size_t i = 0; i < header_bytes; ++i) header[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::uint64_t nonce = 0x0123456789ABCDEFull;
    Tag expected{};
    std::uint8_t password[8];
    for (int i = 0; i < 8; ++i) password[i] = static_cast<std::uint8_t>(nonce >> (8 * i));
    ASSERT_EQ(argon2id_hash_raw(1, 2097152, 1, password, 8, header.data(), header_bytes, expected.data(), 32),
              ARGON2_OK);

    build_index_table_avx2();
    TestArena arena;
    ASSERT_TRUE(arena.ok());
    const Vector v{header, nonce, expected};
    EXPECT_EQ(hex(hash(engine_avx512, arena.arena(), v)), hex(expected));
    EXPECT_EQ(hex(hash(engine_avx2, arena.arena(), v)), hex(expected));
    EXPECT_EQ(hex(hash(engine_plain, arena.arena(), v)), hex(expected));
}

TEST_F(EngineAvx512, SkipStoreWithAndWithoutReferenceTable) {
    std::size_t first = 0;
    for (const std::uint32_t permille : {500u, 600u, 999u}) {
        set_skip(permille, true);
        TestArena arena;
        ASSERT_TRUE(arena.ok());
        for (const bool reft : {false, true}) {
            set_reft(reft);
            expect_vectors(arena, first, 2, "skip " + std::to_string(permille) + (reft ? " reft" : ""));
            first += 2;
        }
    }
}

TEST_F(EngineAvx512, SideCacheAloneAndWithSkipStore) {
    std::size_t first = 1;
    for (const std::uint32_t skip : {0u, 600u}) {
        set_skip(skip, true);
        TestArena arena;
        ASSERT_TRUE(arena.ok());
        for (const std::uint32_t slots : {256u, 1024u, 4096u, 65000u}) {
            side_plan(slots, 0);
            ASSERT_EQ(engine_settings.side_slots, slots);
            expect_vectors(arena, first, 2, "side " + std::to_string(slots) + " skip " + std::to_string(skip));
            first += 3;
        }
    }
}

TEST_F(EngineAvx512, ProbeWithoutRebuildGivesWrongTags) {
    set_skip(600, false);
    for (const bool reft : {false, true}) {
        set_reft(reft);
        TestArena arena;
        ASSERT_TRUE(arena.ok());
        arena.follow_settings();
        const Vector& v = vectors()[2];
        EXPECT_NE(hex(hash(engine_avx512, arena.arena(), v)), hex(v.tag));
    }
}

// rebuild_block on a real hash: every dropped block it is asked for equals
// the block that a full arena stored, including the deepest chains.
TEST_F(EngineAvx512, RebuildEqualsTheStoredBlocksOfAFullArena) {
    const Vector& v = vectors()[3];
    TestArena full;
    ASSERT_TRUE(full.ok());
    hash(engine_avx512, full.arena(), v);
    const auto* full_base = static_cast<const std::uint8_t*>(full.arena().base);
    auto word0 = [&](std::uint32_t j) {
        std::uint32_t w;
        std::memcpy(&w, full_base + std::uint64_t{j} * block_bytes, 4);  // word 0 in either word order
        return w;
    };

    set_skip(500, true);
    set_reft(true);
    const std::uint32_t skip_from = engine_settings.skip_from;
    TestArena skipped;
    ASSERT_TRUE(skipped.ok());
    skipped.follow_settings();
    EXPECT_EQ(hex(hash(engine_avx512, skipped.arena(), v)), hex(v.tag));

    // Chain depth of every dropped block, from the full arena's word 0s.
    std::vector<std::uint32_t> depth((block_count - skip_from) / 2, 0);
    std::uint32_t deepest = skip_from + 1;
    for (std::uint32_t j = skip_from + 1; j < block_count; j += 2) {
        const std::uint32_t a = reference_index(j, word0(j - 1));
        ASSERT_EQ(skipped.arena().ref_table[(j - skip_from) >> 1], a) << j;
        const bool a_dropped = a >= skip_from && (a & 1) != 0;
        depth[(j - skip_from) >> 1] = 1 + (a_dropped ? depth[(a - skip_from) >> 1] : 0);
        if (depth[(j - skip_from) >> 1] > depth[(deepest - skip_from) >> 1]) deepest = j;
    }
    std::printf("deepest chain in this hash: block %u, %u levels\n", deepest, depth[(deepest - skip_from) >> 1]);
    EXPECT_GE(depth[(deepest - skip_from) >> 1], 3u);

    std::vector<std::uint32_t> sample = {skip_from + 1, skip_from + 3, deepest, block_count - 1};
    for (std::uint32_t j = skip_from + 1001; j < block_count; j += 2 * 40961) sample.push_back(j);
    alignas(64) std::uint8_t out[block_bytes];
    for (const std::uint32_t j : sample) {
        for (const std::uint32_t* table : {static_cast<const std::uint32_t*>(nullptr),
                                            static_cast<const std::uint32_t*>(skipped.arena().ref_table)}) {
            std::memset(out, 0, sizeof out);
            ASSERT_EQ(rebuild_block(skipped.arena().base, table, j, out), out);
            EXPECT_EQ(std::memcmp(out, full_base + std::uint64_t{j} * block_bytes, block_bytes), 0)
                << "block " << j << (table ? " with" : " without") << " table";
        }
    }
}

}  // namespace
}  // namespace nolu::qxt
