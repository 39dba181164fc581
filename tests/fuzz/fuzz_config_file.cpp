// libFuzzer target: arbitrary bytes as a settings file (-c), through the
// reader and the option table. Whatever the bytes, it returns an outcome; a
// failure is one printable line naming the file and status 2.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/config_file.hpp"

using namespace nolu::qxt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Options o;
    const Outcome<Done> r = apply_config_text(text, "fuzz.json", o);
    if (r) return 0;
    const Failure& f = r.error();
    if (f.status != 2 || f.tag != nullptr) std::abort();
    if (f.message.rfind("config file fuzz.json: ", 0) != 0) std::abort();
    for (const char c : f.message) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) std::abort();  // it goes to a terminal
    }
    return 0;
}
