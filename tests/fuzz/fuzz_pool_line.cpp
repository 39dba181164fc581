// libFuzzer target: arbitrary bytes as a pool line, through the JSON reader,
// its lookups and the escaper, and through the line handler of a Pool that
// is never started (callbacks installed, so every log and verdict path runs).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/json.hpp"
#include "pool/pool.hpp"

using namespace nolu::qxt;

namespace {

// Nothing the pool sends may reach the console as a control byte.
void check_printable(const std::string& text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) std::abort();
    }
}

Pool& fuzz_pool() {
    static Pool* pool = [] {
        auto* p = new Pool;
        p->set_callbacks([](const std::string& text) { check_printable(text); },
                         [](bool, const std::string& text) { check_printable(text); });
        return p;
    }();
    return *pool;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    JsonValue value;
    if (json_parse(text, value)) {
        for (const char* key : {"id", "method", "params", "result", "error", "status"}) {
            json_find(value, key);
            json_string_or(value, key, "");
            json_u64_or(value, key, 0);
        }
    }

    // Escaping then reading back gives every byte string unchanged, on one line.
    const std::string escaped = json_escape(text);
    if (escaped.find('\n') != std::string::npos) std::abort();
    JsonValue round;
    if (!json_parse("\"" + escaped + "\"", round) || round.kind != JsonValue::Kind::string || round.text != text)
        std::abort();

    Pool& pool = fuzz_pool();
    pool.handle_line(text);
    // The login line stays one line whatever difficulty a job carried.
    if (pool.login_line().find('\n') != std::string::npos) std::abort();
    const Job job = pool.current_job();
    if (job.valid == job.job_id.empty()) std::abort();
    // Whatever the line was, a pool that never connected offers nothing to mine.
    if (pool.mineable_job().has_value()) std::abort();
    return 0;
}
