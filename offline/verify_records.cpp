#include "offline/verify_records.hpp"

#include "common/decimal.hpp"
#include "common/hex.hpp"
#include "common/printable.hpp"

namespace nolu::qxt {

namespace {

// Input between two looks at the stop flag.
constexpr std::uint64_t check_every = 65536;

bool space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// A word as the user may see it again: printable ASCII (a records file is
// hexadecimal and decimal text), at most 24 bytes.
std::string shown(const std::string& text, bool too_long) {
    std::string word = text.substr(0, 24);
    for (char& c : word)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return "\"" + printable(word) + (text.size() > 24 || too_long ? "..." : "") + "\"";
}

}  // namespace

VerifyRecordReader::VerifyRecordReader(std::istream& in, const std::atomic<bool>* stop) : in_(in), stop_(stop) {}

int VerifyRecordReader::get() {
    if (stopped_) return std::char_traits<char>::eof();
    if (++since_check_ >= check_every) {
        since_check_ = 0;
        if (stop_ != nullptr && stop_->load()) {
            stopped_ = true;
            return std::char_traits<char>::eof();
        }
    }
    const int c = in_.rdbuf() != nullptr ? in_.rdbuf()->sbumpc() : std::char_traits<char>::eof();
    if (c == '\n') ++line_;
    return c;
}

bool VerifyRecordReader::read_word(Word& word) {
    word = Word{};
    int c = get();
    while (c != std::char_traits<char>::eof() && space(c)) c = get();
    if (c == std::char_traits<char>::eof()) return false;
    word.line = line_;
    while (c != std::char_traits<char>::eof() && !space(c)) {
        if (word.text.size() < max_word) {
            word.text.push_back(static_cast<char>(c));
        } else {
            word.too_long = true;
        }
        c = get();
    }
    return true;
}

std::optional<VerifyRecord> VerifyRecordReader::next() {
    if (stop_ != nullptr && stop_->load()) stopped_ = true;
    Word words[3];
    int have = 0;
    while (have < 3 && read_word(words[have])) ++have;
    if (stopped_ || have == 0) return std::nullopt;

    VerifyRecord record;
    record.line = words[0].line;
    if (have < 3) {
        record.problem = "a record cut short by the end of the file (" + std::to_string(have) + " of 3 words)";
        return record;
    }
    const Word& header = words[0];
    const Word& nonce = words[1];
    const Word& hash = words[2];
    const std::optional<std::uint64_t> number = nonce.too_long ? std::nullopt : parse_decimal(nonce.text);
    record.nonce = number.value_or(0);
    if (header.too_long || !hex_decode(header.text, record.header.data(), record.header.size())) {
        record.problem = "header " + shown(header.text, header.too_long) + " is not 184 hexadecimal digits";
    } else if (!number) {
        record.problem = "nonce " + shown(nonce.text, nonce.too_long) + " is not a 64-bit decimal number";
    } else if (hash.too_long || !hex_decode(hash.text, record.hash.data(), record.hash.size())) {
        record.problem = "hash " + shown(hash.text, hash.too_long) + " is not 64 hexadecimal digits";
    }
    return record;
}

}  // namespace nolu::qxt
