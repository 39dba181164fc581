// The records of a verification file, read in bounded memory: three words
// separated by white space (spaces or line breaks) each, the header (184
// hexadecimal digits), the nonce (an unsigned 64-bit decimal number) and
// the expected hash (64 hexadecimal digits). Every record comes out, the
// malformed ones too, with what is wrong with them: none is skipped.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>

namespace nolu::qxt {

struct VerifyRecord {
    std::uint64_t line = 0;  // line of its first word, from 1
    std::string problem;     // empty: well formed, the fields below hold it
    std::array<std::uint8_t, 92> header{};
    std::uint64_t nonce = 0;
    std::array<std::uint8_t, 32> hash{};
};

class VerifyRecordReader {
public:
    // Words longer than this are not kept whole (a record's longest is 184).
    static constexpr std::size_t max_word = 256;

    // stop (may be null) ends the reading early, even inside one huge word.
    VerifyRecordReader(std::istream& in, const std::atomic<bool>* stop);

    // The next record (a record cut short by the end of the input counts,
    // as a malformed one); nothing at the end or once stop is set.
    std::optional<VerifyRecord> next();

private:
    struct Word {
        std::string text;  // its first max_word characters
        bool too_long = false;
        std::uint64_t line = 0;
    };
    bool read_word(Word& word);
    int get();

    std::istream& in_;
    const std::atomic<bool>* stop_;
    std::uint64_t line_ = 1;
    std::uint64_t since_check_ = 0;
    bool stopped_ = false;
};

}  // namespace nolu::qxt
