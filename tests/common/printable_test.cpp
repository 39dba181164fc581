// Outside text on one terminal line: control bytes out, long text cut on a
// character boundary.
#include <gtest/gtest.h>

#include "common/printable.hpp"

using nolu::qxt::printable;

TEST(Printable, ControlBytesBecomeQuestionMarksAndUtf8Passes) {
    EXPECT_EQ(printable("ok \x1b[2J\r\n\x7f end"), "ok ?[2J??? end");
    EXPECT_EQ(printable("C1 \xc2\x9b" "31m, NBSP \xc2\xa0, \xe2\x82\xac"), "C1 ?31m, NBSP \xc2\xa0, \xe2\x82\xac");
    EXPECT_EQ(printable(std::string("nul\0byte", 8)), "nul?byte");
}

TEST(Printable, LongTextIsCutOnACharacterBoundary) {
    EXPECT_EQ(printable("abcdef", 6), "abcdef");
    EXPECT_EQ(printable("abcdefg", 6), "abcdef...");
    // "€" is three bytes: a cut after its first or second byte moves before it.
    EXPECT_EQ(printable("abcd\xe2\x82\xac", 5), "abcd...");
    EXPECT_EQ(printable("abcd\xe2\x82\xac", 6), "abcd...");
    EXPECT_EQ(printable("abcd\xe2\x82\xac", 7), "abcd\xe2\x82\xac");
    // A C1 pair cut in half is not left as a stray lead byte.
    EXPECT_EQ(printable("ab\xc2\x9b", 3), "ab...");
    EXPECT_EQ(printable(std::string(300, 'x'), 200).size(), 203u);
}
