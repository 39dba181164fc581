// The plain work function and the AVX2 engine against libargon2, through
// the committed vectors file (which users pass to --verify).
#include <argon2.h>
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hash/arena.hpp"
#include "hash/engine.hpp"
#include "hash/index_table.hpp"

using namespace nolu::qxt;

namespace {

struct Record {
    std::uint8_t header[92];
    std::uint64_t nonce;
    std::uint8_t tag[32];
};

bool decode(const char* hex, std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::sscanf(hex + 2 * i, "%2hhx", &out[i]) != 1) return false;
    return true;
}

std::vector<Record> load_vectors() {
    std::vector<Record> records;
    FILE* f = std::fopen(QXT_SOURCE_DIR "/tools/vectors.txt", "r");
    if (f == nullptr) return records;
    char header[200], tag[80];
    Record r;
    while (std::fscanf(f, "%199s %" SCNu64 " %79s", header, &r.nonce, tag) == 3) {
        if (std::strlen(header) != 184 || std::strlen(tag) != 64) break;
        if (!decode(header, r.header, 92) || !decode(tag, r.tag, 32)) break;
        records.push_back(r);
    }
    std::fclose(f);
    return records;
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

class Engines : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        records_ = load_vectors();
        build_index_table_avx2();
    }
    void SetUp() override {
        ASSERT_GE(records_.size(), 6u) << "tools/vectors.txt";
        ASSERT_TRUE(arena_allocate(arena_));
    }
    void TearDown() override { arena_release(arena_); }

    void expect_engine(Engine engine) {
        for (const Record& r : records_) {
            std::uint8_t out[32];
            engine(arena_, r.header, r.nonce, out);
            EXPECT_EQ(hex(out, 32), hex(r.tag, 32)) << "nonce " << r.nonce << " header " << hex(r.header, 4);
        }
    }

    static std::vector<Record> records_;
    Arena arena_;
};

std::vector<Record> Engines::records_;

}  // namespace

// The file holds what the coverage below needs and what libargon2 computes.
TEST_F(Engines, VectorsFileAgreesWithLibargon2) {
    bool zero = false, all_ones = false, high_only = false, all_z = false;
    for (const Record& r : records_) {
        zero |= r.nonce == 0;
        all_ones |= r.nonce == UINT64_MAX;
        high_only |= r.nonce != 0 && (r.nonce & 0xFFFFFFFFull) == 0;
        bool z = true;
        for (std::uint8_t b : r.header) z &= b == 0x5A;
        all_z |= z;
    }
    EXPECT_TRUE(zero && all_ones && high_only && all_z);

    arena_release(arena_);  // libargon2 maps its own 2 GiB
    for (const Record& r : records_) {
        std::uint8_t pwd[8];
        for (int i = 0; i < 8; ++i) pwd[i] = static_cast<std::uint8_t>(r.nonce >> (8 * i));
        std::uint8_t tag[32];
        ASSERT_EQ(argon2id_hash_raw(1, 1u << 21, 1, pwd, 8, r.header, 92, tag, 32), ARGON2_OK);
        EXPECT_EQ(hex(tag, 32), hex(r.tag, 32)) << "nonce " << r.nonce;
    }
}

TEST_F(Engines, PlainMatchesVectors) { expect_engine(engine_plain); }

TEST_F(Engines, Avx2MatchesVectors) { expect_engine(engine_avx2); }
