// The verification file's records: every record comes out, the malformed,
// over-long and truncated ones named, in bounded memory, and a stop ends
// the reading even inside one endless word.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "offline/verify_records.hpp"
#include "common/decimal.hpp"

using namespace nolu::qxt;

namespace {

const std::string header(184, 'a');
const std::string hash(64, 'B');

std::vector<VerifyRecord> read_all(const std::string& text) {
    std::istringstream in(text);
    VerifyRecordReader reader(in, nullptr);
    std::vector<VerifyRecord> out;
    while (auto record = reader.next()) out.push_back(*record);
    return out;
}

// An input of `size` bytes of one character, made up as it is read.
class EndlessBuffer : public std::streambuf {
public:
    EndlessBuffer(char c, std::uint64_t size) : left_(size) { std::fill(std::begin(chunk_), std::end(chunk_), c); }
    std::uint64_t handed = 0;

protected:
    int_type underflow() override {
        if (left_ == 0) return traits_type::eof();
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, sizeof chunk_));
        left_ -= n;
        handed += n;
        setg(chunk_, chunk_, chunk_ + n);
        return traits_type::to_int_type(chunk_[0]);
    }

private:
    char chunk_[65536];
    std::uint64_t left_;
};

}  // namespace

TEST(VerifyRecords, WellFormedRecordsAcrossLinesAndBlanks) {
    const auto records = read_all(header + " 42 " + hash + "\n\n  " + header + "\t18446744073709551615\n" + hash);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].problem, "");
    EXPECT_EQ(records[0].line, 1u);
    EXPECT_EQ(records[0].nonce, 42u);
    EXPECT_EQ(records[0].header[0], 0xAA);
    EXPECT_EQ(records[0].hash[31], 0xBB);
    EXPECT_EQ(records[1].problem, "");
    EXPECT_EQ(records[1].line, 3u);
    EXPECT_EQ(records[1].nonce, ~std::uint64_t{0});
}

TEST(VerifyRecords, EveryMalformedRecordIsNamedAndTheNextOnesStillCount) {
    const std::string text = header + " 12x " + hash + "\n" +              // the nonce
                             header + " 7 " + hash + "0\n" +               // a hash one digit too long
                             header.substr(1) + " 7 " + hash + "\n" +      // a header one digit short
                             header + " 18446744073709551616 " + hash + "\n" +  // a nonce past 64 bits
                             header + " 7 " + std::string(300, 'f') + "\n" +    // an over-long word
                             header + " -1 " + hash + "\n" + header + " 9 " + hash + "\n" +  // a good one
                             header + " 9\n";                              // cut short by the end
    const auto records = read_all(text);
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[0].problem, "nonce \"12x\" is not a 64-bit decimal number");
    // It used to pass on its first 64 digits.
    EXPECT_EQ(records[1].problem, "hash \"BBBBBBBBBBBBBBBBBBBBBBBB...\" is not 64 hexadecimal digits");
    EXPECT_EQ(records[2].problem.rfind("header \"aaaa", 0), 0u);
    EXPECT_NE(records[3].problem.find("nonce"), std::string::npos);
    EXPECT_NE(records[4].problem.find("hash \"ffffffffffffffffffffffff...\""), std::string::npos);
    EXPECT_NE(records[5].problem.find("nonce \"-1\""), std::string::npos);
    EXPECT_EQ(records[6].problem, "");
    EXPECT_EQ(records[6].line, 7u);
    EXPECT_EQ(records[7].problem, "a record cut short by the end of the file (2 of 3 words)");
    EXPECT_EQ(records[7].line, 8u);
}

TEST(VerifyRecords, ControlBytesNeverReachTheMessage) {
    const auto records = read_all(header + " 1\x1b[2J " + hash);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].problem, "nonce \"1?[2J\" is not a 64-bit decimal number");
}

TEST(VerifyRecords, AFileWithoutLineBreaksInBoundedMemory) {
    // 64 MiB of one word: read through without keeping it.
    EndlessBuffer endless('7', 64ull << 20);
    std::istream in(&endless);
    VerifyRecordReader reader(in, nullptr);
    const auto record = reader.next();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->problem, "a record cut short by the end of the file (1 of 3 words)");
    EXPECT_EQ(endless.handed, 64ull << 20);
    EXPECT_FALSE(reader.next().has_value());
}

TEST(VerifyRecords, AStopEndsTheReadingInsideAWord) {
    EndlessBuffer endless('x', ~std::uint64_t{0} >> 1);
    std::istream in(&endless);
    std::atomic<bool> stop{false};
    VerifyRecordReader reader(in, &stop);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    EXPECT_FALSE(reader.next().has_value());
    stopper.join();
    EXPECT_FALSE(reader.next().has_value());
}

TEST(Decimal, DigitsOnlyUpToTheLimitNeverWrapped) {
    EXPECT_EQ(parse_decimal("0"), 0u);
    EXPECT_EQ(parse_decimal("007"), 7u);
    EXPECT_EQ(parse_decimal("18446744073709551615"), ~std::uint64_t{0});
    EXPECT_EQ(parse_decimal("000000000000000000000018446744073709551615"), ~std::uint64_t{0});
    EXPECT_EQ(parse_decimal("65535", 65535), 65535u);
    EXPECT_EQ(parse_decimal("4294967295", 0xFFFFFFFFu), 0xFFFFFFFFu);
    for (const char* bad : {"", " 1", "1 ", "+1", "-1", "1.0", "0x10", "18446744073709551616", "99999999999999999999"})
        EXPECT_FALSE(parse_decimal(bad)) << bad;
    EXPECT_FALSE(parse_decimal("65536", 65535));
    EXPECT_FALSE(parse_decimal("4294967296", 0xFFFFFFFFu));
}
