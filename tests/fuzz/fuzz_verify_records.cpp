// libFuzzer target: arbitrary bytes as a verification file.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "offline/verify_records.hpp"

using namespace nolu::qxt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    VerifyRecordReader reader(in, nullptr);
    std::size_t records = 0;
    std::uint64_t last_line = 0;
    while (const auto record = reader.next()) {
        ++records;
        // Each record holds at least one byte of input, and lines only go forward.
        if (records > size || record->line < last_line || record->line == 0) std::abort();
        last_line = record->line;
        // What is wrong is told in printable text of bounded length.
        if (record->problem.size() > 200) std::abort();
        for (const char c : record->problem) {
            const auto b = static_cast<unsigned char>(c);
            if (b < 0x20 || b >= 0x7F) std::abort();
        }
    }
    return 0;
}
