// Several nonces at once through each engine row's lane entry: every lane's
// tag against the shipped vectors (computed with libargon2) and against
// libargon2 directly (the plain engine agrees with both), with the memory options
// the engine takes with lanes. Each lane hashes 2 GiB: few cases, serial.
#include <argon2.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "hash/arena.hpp"
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

// n arenas of one layout, released together.
class Arenas {
public:
    Arenas(const HashSettings& settings, unsigned n) : arenas_(n) {
        for (Arena& a : arenas_) {
            const Status status = arena_allocate(a, settings);
            if (!status && error_.empty()) error_ = status.error().message;
        }
    }
    ~Arenas() {
        for (Arena& a : arenas_) arena_release(a);
    }
    const std::string& error() const { return error_; }
    const Arena& operator[](std::size_t k) const { return arenas_[k]; }

private:
    std::vector<Arena> arenas_;
    std::string error_;
};

class Lanes : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        row_ = find_engine(GetParam());
        ASSERT_NE(row_, nullptr);
        if (!row_->usable(detect_isa())) GTEST_SKIP() << row_->unusable;
        ASSERT_NE(row_->hash_lanes, nullptr);
        const Status status = row_->prepare(prepared_);
        ASSERT_TRUE(status) << status.error().message;
        ASSERT_GE(shipped_vectors().size(), 6u) << test::vectors_path();
    }

    // The records given, one per lane, in one call; every tag checked.
    void expect_records(const HashSettings& settings, const std::vector<const VectorRecord*>& records,
                        const std::string& what) {
        const auto n = static_cast<unsigned>(records.size());
        Arenas arenas(settings, n);
        ASSERT_EQ(arenas.error(), "");
        std::vector<Tag> tags(n);
        std::vector<LaneWork> work;
        for (unsigned k = 0; k < n; ++k)
            work.push_back({&arenas[k], records[k]->header.data(), records[k]->nonce, tags[k].data()});
        row_->hash_lanes(work.data(), n);
        for (unsigned k = 0; k < n; ++k)
            EXPECT_EQ(hex(tags[k]), hex(records[k]->tag)) << what << ", lane " << k << " of " << n;
    }

    std::vector<const VectorRecord*> records(std::size_t first, std::size_t n) const {
        std::vector<const VectorRecord*> out;
        for (std::size_t k = 0; k < n; ++k) out.push_back(&shipped_vectors()[(first + k) % shipped_vectors().size()]);
        return out;
    }

    const EngineRow* row_ = nullptr;
    HashSettings prepared_;
};

// Four lanes with the AVX-512 engine, three with the AVX2 engine (the other
// counts run below), each lane a different record (header and nonce).
TEST_P(Lanes, MatchTheVectors) {
    const unsigned n = std::string(GetParam()) == "avx512" ? 4 : 3;
    expect_records(prepared_, records(0, n), std::to_string(n) + " lanes");
}

// Two lanes of one header and neighbouring nonces, as a mining thread hashes
// them, against libargon2 (the plain engine's agreement with libargon2 is
// the engine tests' business: each case here runs in a process of its own,
// and a plain hash would double its time).
TEST_P(Lanes, AgreeWithLibargon2) {
    static const std::array<std::uint8_t, header_bytes> header = [] {
        std::array<std::uint8_t, header_bytes> h;
        for (std::size_t i = 0; i < header_bytes; ++i) h[i] = static_cast<std::uint8_t>(i * 53 + 7);
        return h;
    }();
    static const std::uint64_t nonces[2] = {0x00000001FFFFFFFFull, 0x0000000200000000ull};
    static std::vector<Tag> oracle;
    if (oracle.empty()) {
        for (const std::uint64_t nonce : nonces) {
            Tag tag{};
            ASSERT_EQ(test::libargon2_tag(header.data(), nonce, tag.data()), ARGON2_OK);
            oracle.push_back(tag);
        }
    }
    const VectorRecord lane0{header, nonces[0], oracle[0]}, lane1{header, nonces[1], oracle[1]};
    expect_records(prepared_, {&lane0, &lane1}, "libargon2");
}

// A set stop flag ends a call of several lanes before its tags are written
// (the flag is looked at before each lane's first half, then every few
// thousand blocks).
TEST_P(Lanes, AStopEndsTheCallWithoutTags) {
    std::atomic<bool> stop{true};
    HashSettings settings = prepared_;
    settings.stop = &stop;
    Arenas arenas(settings, 2);
    ASSERT_EQ(arenas.error(), "");
    const auto v = records(0, 2);
    Tag tags[2];
    for (Tag& t : tags) t.fill(0xAA);
    LaneWork work[2] = {{&arenas[0], v[0]->header.data(), v[0]->nonce, tags[0].data()},
                        {&arenas[1], v[1]->header.data(), v[1]->nonce, tags[1].data()}};
    row_->hash_lanes(work, 2);
    for (const Tag& t : tags) EXPECT_EQ(hex(t), std::string(64, 'a'));
}

INSTANTIATE_TEST_SUITE_P(EngineRows, Lanes, ::testing::Values("avx512", "avx2"));

// The memory options the AVX-512 engine takes with lanes: the side cache
// (each lane its own buffer, one plan). A skip-store layout, which the
// option rules keep away from lanes, still gives exact tags (one lane after
// the other).
class LanesAvx512 : public Lanes {};

TEST_P(LanesAvx512, SideCacheAndSkipStoreLayouts) {
    const SidePlan plan = side_plan(prepared_.index_table, 1024, 0);
    HashSettings with_side = prepared_;
    with_side.side = &plan;
    expect_records(with_side, records(4, 3), "side 1024, 3 lanes");
    HashSettings skipped = with_skip(prepared_, 600, true);
    skipped.reft = true;
    expect_records(skipped, records(7, 2), "skip-store 600 with its table, 2 lanes");
}

INSTANTIATE_TEST_SUITE_P(EngineRows, LanesAvx512, ::testing::Values("avx512"));

}  // namespace
}  // namespace nolu::qxt
