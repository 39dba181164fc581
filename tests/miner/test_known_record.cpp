// The self-test's record is one of the shipped verification records: the
// build writes it from tools/vectors.txt, and this holds it to that.
#include <gtest/gtest.h>

#include "miner/self_test.hpp"
#include "tests/support/vectors.hpp"

using namespace nolu::qxt;

TEST(KnownRecord, IsALineOfTheShippedVectors) {
    int matches = 0;
    for (const test::VectorRecord& v : test::shipped_vectors())
        if (v.header == known_record.header && v.nonce == known_record.nonce && v.tag == known_record.tag) ++matches;
    EXPECT_EQ(matches, 1) << test::hex(known_record.header) << " " << known_record.nonce << " "
                          << test::hex(known_record.tag);
    // Not a degenerate record: every header byte and the nonce's high bytes take part.
    EXPECT_NE(known_record.nonce >> 32, 0u);
    EXPECT_NE(test::hex(known_record.header), std::string(184, '0'));
}
