// The plain work function and the AVX2 engine against libargon2, through
// the committed vectors file (which users pass to --verify). Each engine is
// reached through its row of the engine table, prepared the way start-up
// prepares it.
#include <argon2.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "hash/arena.hpp"
#include "hash/engine_table.hpp"
#include "host/cpu_features.hpp"
#include "tests/support/argon2_oracle.hpp"
#include "tests/support/vectors.hpp"

using namespace nolu::qxt;
using test::hex;
using test::shipped_vectors;
using test::VectorRecord;

namespace {

class Engines : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(shipped_vectors().size(), 6u) << test::vectors_path(); }
    void TearDown() override { arena_release(arena_); }

    // Every record through the named row, on one arena mapped for its settings.
    void expect_engine(const char* name) {
        const EngineRow* row = find_engine(name);
        ASSERT_NE(row, nullptr) << name;
        if (!row->usable(detect_isa())) GTEST_SKIP() << row->unusable;
        HashSettings settings;
        const Status prepared = row->prepare(settings);
        ASSERT_TRUE(prepared) << prepared.error().message;
        ASSERT_NE(settings.index_table, nullptr);
        const Status status = arena_allocate(arena_, settings);
        ASSERT_TRUE(status) << status.error().message;
        for (const VectorRecord& r : shipped_vectors()) {
            std::uint8_t out[32];
            row->hash(arena_, r.header.data(), r.nonce, out);
            EXPECT_EQ(hex(out, 32), hex(r.tag)) << "nonce " << r.nonce << " header " << hex(r.header.data(), 4);
        }
    }

    Arena arena_;
};

}  // namespace

// The file holds what the coverage below needs and what libargon2 computes.
TEST_F(Engines, VectorsFileAgreesWithLibargon2) {
    bool zero = false, all_ones = false, high_only = false, all_z = false;
    for (const VectorRecord& r : shipped_vectors()) {
        zero |= r.nonce == 0;
        all_ones |= r.nonce == UINT64_MAX;
        high_only |= r.nonce != 0 && (r.nonce & 0xFFFFFFFFull) == 0;
        bool z = true;
        for (std::uint8_t b : r.header) z &= b == 0x5A;
        all_z |= z;
    }
    EXPECT_TRUE(zero && all_ones && high_only && all_z);

    // libargon2 maps its own 2 GiB; no arena is held here.
    for (const VectorRecord& r : shipped_vectors()) {
        std::uint8_t tag[32];
        ASSERT_EQ(test::libargon2_tag(r.header.data(), r.nonce, tag), ARGON2_OK);
        EXPECT_EQ(hex(tag, 32), hex(r.tag)) << "nonce " << r.nonce;
    }
}

TEST_F(Engines, PlainMatchesVectors) { expect_engine("plain"); }

TEST_F(Engines, Avx2MatchesVectors) { expect_engine("avx2"); }
