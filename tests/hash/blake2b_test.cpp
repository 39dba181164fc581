#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hash/argon2.hpp"
#include "hash/blake2b.hpp"
#include "hash/core_inline.hpp"
#include "tests/support/vectors.hpp"

using namespace nolu::qxt;
using nolu::qxt::test::hex;

namespace {

std::string digest(const void* in, std::size_t len, std::size_t outlen = 64) {
    std::uint8_t out[64];
    blake2b_hash(out, outlen, in, len);
    return hex(out, outlen);
}

}  // namespace

TEST(Blake2b, KnownDigests) {
    EXPECT_EQ(digest("abc", 3),
              "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
              "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");
    EXPECT_EQ(digest("", 0),
              "786a02f742015903c6c6fd852552d272912f4740e15847618a86e217f71f5419"
              "d25e1031afee585313896444934eb04b903a685b1448b755d56f701afe9be2ce");
}

TEST(Blake2b, FullBlockWaitsForFinal) {
    std::uint8_t msg[128];
    for (int i = 0; i < 128; ++i) msg[i] = static_cast<std::uint8_t>(i);
    Blake2bState s;
    blake2b_init(s, 64, nullptr, 0);
    blake2b_update(s, msg, 128);
    EXPECT_EQ(s.buflen, 128u);
    EXPECT_EQ(s.t0, 0u);  // nothing compressed yet

    // final = one compression with the last-block flag and a counter of 128
    Blake2bState manual;
    blake2b_init(manual, 64, nullptr, 0);
    manual.t0 = 128;
    blake2b_compress(manual, msg, true);

    std::uint8_t out[64];
    blake2b_final(s, out);
    EXPECT_EQ(s.t0, 128u);
    EXPECT_EQ(0, std::memcmp(out, manual.h, 64));
    EXPECT_EQ(hex(out, 64),
              "2319e3789c47e2daa5fe807f61bec2a1a6537fa03f19ff32e87eecbfd64b7e0e"
              "8ccff439ac333b040f19b0c4ddd11a61e24ac1fe0f10a039806c5dcc0da3d115");
}

TEST(Blake2b, PiecewiseEqualsOneShot) {
    std::vector<std::uint8_t> msg(1000);
    for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<std::uint8_t>(i * 31 + 7);
    for (std::size_t len : {0u, 1u, 76u, 127u, 128u, 129u, 256u, 257u, 1000u}) {
        const std::string whole = digest(msg.data(), len);
        for (std::size_t piece : {1u, 3u, 4u, 64u, 127u, 128u, 200u}) {
            Blake2bState s;
            blake2b_init(s, 64, nullptr, 0);
            for (std::size_t at = 0; at < len; at += piece)
                blake2b_update(s, msg.data() + at, at + piece <= len ? piece : len - at);
            std::uint8_t out[64];
            blake2b_final(s, out);
            EXPECT_EQ(hex(out, 64), whole) << "len " << len << " piece " << piece;
        }
    }
}

TEST(Blake2b, TagMessageOf1028Bytes) {
    // the final tag: LE32(32) then a 1 KiB block, 32-byte digest
    std::uint8_t block[1024];
    for (int i = 0; i < 1024; ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::uint8_t len_le[4] = {32, 0, 0, 0};
    Blake2bState s;
    blake2b_init(s, 32, nullptr, 0);
    blake2b_update(s, len_le, 4);
    blake2b_update(s, block, 1024);
    EXPECT_EQ(s.t0, 1024u);  // eight full blocks behind, 4 bytes waiting
    EXPECT_EQ(s.buflen, 4u);
    std::uint8_t out[32];
    blake2b_final(s, out);
    EXPECT_EQ(s.t0, 1028u);
    EXPECT_EQ(hex(out, 32), "4cc59f517eb6f0ac414583a644db60f9da50f17d701b706f46ca2ba162f7774a");
}

TEST(Blake2b, CounterCarriesIntoHighWord) {
    Blake2bState s;
    blake2b_init(s, 64, nullptr, 0);
    s.t0 = ~std::uint64_t{0} - 63;
    std::uint8_t block[128] = {};
    blake2b_update(s, block, 128);
    blake2b_update(s, block, 1);  // compresses the full buffer: t0 wraps
    EXPECT_EQ(s.t0, 64u);
    EXPECT_EQ(s.t1, 1u);
}

TEST(HPrime, Writes1024BytesOfTheLongOutputHash) {
    std::uint8_t in[72];
    for (int i = 0; i < 72; ++i) in[i] = static_cast<std::uint8_t>(i);
    std::uint8_t out[1024 + 16];
    std::memset(out, 0xEE, sizeof out);
    hprime_1024(out + 8, in);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(out[i], 0xEE);  // nothing before ...
        EXPECT_EQ(out[1032 + i], 0xEE);  // ... or after the block
    }
    EXPECT_EQ(hex(out + 8, 8), "d5f4c304b4be42af");
    EXPECT_EQ(hex(out + 8 + 1016, 8), "476b9336122c9127");
    EXPECT_EQ(digest(out + 8, 1024, 32), "2ab8e2f9b31e15c99457565bed4fc01f2af5cd18a1c9518976813be4d5462aa6");
}

TEST(WorkFunction, PreHashOverParametersNonceAndHeader) {
    std::uint8_t header[92];
    std::memset(header, 0x5A, sizeof header);
    std::uint8_t h0[72];
    std::memset(h0, 0xFF, sizeof h0);
    argon2_h0(h0, header, 0x0123456789abcdefull);
    EXPECT_EQ(hex(h0, 64),
              "695cc38e3ad489c94b2b63ff1e1a77456d0430c210b8bce810691f2714898a0f"
              "ba39f828ecb03ac749395480294d6cdd23668361f8159c1c4ff2d7b0c1a428ee");
    EXPECT_EQ(hex(h0 + 64, 8), "0000000000000000");

    // every nonce byte enters the pre-hash
    std::uint8_t other[72];
    argon2_h0(other, header, 0x0123456789abcdefull ^ (0xFFull << 56));
    EXPECT_NE(0, std::memcmp(h0, other, 64));
}

TEST(WorkFunction, ReferenceIndexStaysBehindThePreviousBlock) {
    for (std::uint32_t j1 : {0u, 1u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ref_index(2, j1), 0u);
        for (std::uint32_t j : {3u, 1000u, 0x100000u, 0x1FFFFFu}) {
            EXPECT_LE(ref_index(j, j1), j - 2);
            // only the low half of the selecting word is J1
            EXPECT_EQ(ref_index(j, 0xA5A5A5A500000000ull | j1), ref_index(j, j1));
        }
    }
    EXPECT_EQ(ref_index(0x100000, 0), 0xFFFFEu);  // J1 = 0: the nearest block
    // largest J1: the whole area 0..0xFFFFE is reachable
    EXPECT_EQ(ref_index(0x100000, 0xFFFFFFFFu), 0u);
}

TEST(WorkFunction, TargetIsMetInMemcmpOrderWithEquality) {
    std::uint8_t target[32], hash[32];
    std::memset(target, 0x40, 32);
    std::memcpy(hash, target, 32);
    EXPECT_TRUE(meets_target(hash, target));
    hash[31] = 0x41;
    EXPECT_FALSE(meets_target(hash, target));
    hash[0] = 0x3F;  // smaller first byte wins whatever follows
    std::memset(hash + 1, 0xFF, 31);
    EXPECT_TRUE(meets_target(hash, target));
    std::memset(hash, 0, 32);
    hash[0] = 0x41;  // larger first byte loses whatever follows
    EXPECT_FALSE(meets_target(hash, target));
    target[0] = 0x80;  // bytes compare unsigned
    hash[0] = 0x7F;
    EXPECT_TRUE(meets_target(hash, target));
}
