// A small JSON reader (lenient in a few fixed ways) and a string escaper for
// the pool protocol.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nolu::qxt {

struct JsonValue {
    // Defined (defaulted) in json.cpp, where the type is complete: some
    // compilers instantiate the members' destructors too early otherwise.
    JsonValue();
    JsonValue(const JsonValue&);
    JsonValue(JsonValue&&) noexcept;
    JsonValue& operator=(const JsonValue&);
    JsonValue& operator=(JsonValue&&) noexcept;
    ~JsonValue();

    enum class Kind { null, boolean, number, string, object, array };
    Kind kind = Kind::null;
    bool boolean = false;
    double number = 0.0;
    std::string text;  // a string's content, or a number's source text
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;  // input order, duplicates kept
};

// Parses one value from the whole text (trailing white space allowed).
bool json_parse(std::string_view text, JsonValue& out);
// First member named key, or nullptr (also when v is not an object).
const JsonValue* json_find(const JsonValue& v, std::string_view key);
std::string json_string_or(const JsonValue& v, std::string_view key, const std::string& fallback);
std::uint64_t json_u64_or(const JsonValue& v, std::string_view key, std::uint64_t fallback);
std::string json_escape(std::string_view s);

}  // namespace nolu::qxt
