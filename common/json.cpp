// The pool's JSON reader: a recursive descent over a byte range. It is more
// lenient than standard JSON in a few fixed ways (raw control bytes in
// strings, a loose number scan), bounds its nesting at 32 levels so that a
// hostile line cannot exhaust the stack, and never throws on bad input.
#include "common/json.hpp"

#include <cstdlib>
#include <string>

namespace nolu::qxt {

JsonValue::JsonValue() = default;
JsonValue::JsonValue(const JsonValue&) = default;
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(const JsonValue&) = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;
JsonValue::~JsonValue() = default;

namespace {

constexpr int max_depth = 32;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool parse_document(JsonValue& out) {
        skip_space();
        if (!parse_value(out, 1)) return false;
        skip_space();
        return pos_ == text_.size();
    }

private:
    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }

    void skip_space() {
        while (!at_end() && is_space(peek())) ++pos_;
    }

    bool parse_value(JsonValue& out, int depth) {
        if (depth > max_depth) return false;
        skip_space();
        if (at_end()) return false;
        switch (peek()) {
            case '"':
                ++pos_;
                out.kind = JsonValue::Kind::string;
                return parse_string(out.text);
            case '[':
                return parse_array(out, depth);
            case '{':
                return parse_object(out, depth);
            case 't':
                out.kind = JsonValue::Kind::boolean;
                out.boolean = true;
                return literal("true");
            case 'f':
                out.kind = JsonValue::Kind::boolean;
                out.boolean = false;
                return literal("false");
            case 'n':
                out.kind = JsonValue::Kind::null;
                return literal("null");
            default:
                return parse_number(out);
        }
    }

    bool literal(std::string_view word) {
        if (text_.size() - pos_ < word.size() || text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    bool parse_number(JsonValue& out) {
        const std::size_t start = pos_;
        if (peek() == '+' || peek() == '-') ++pos_;
        while (!at_end()) {
            const char c = peek();
            const bool number_byte =
                (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
            if (!number_byte) break;
            ++pos_;
        }
        if (pos_ == start) return false;
        out.kind = JsonValue::Kind::number;
        out.text.assign(text_.substr(start, pos_ - start));
        out.number = std::strtod(out.text.c_str(), nullptr);
        return true;
    }

    bool parse_array(JsonValue& out, int depth) {
        ++pos_;  // '['
        out.kind = JsonValue::Kind::array;
        skip_space();
        if (at_end()) return false;
        if (peek() == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            out.items.emplace_back();
            if (!parse_value(out.items.back(), depth + 1)) return false;
            skip_space();
            if (at_end()) return false;
            const char c = text_[pos_++];
            if (c == ']') return true;
            if (c != ',') return false;
        }
    }

    bool parse_object(JsonValue& out, int depth) {
        ++pos_;  // '{'
        out.kind = JsonValue::Kind::object;
        skip_space();
        if (at_end()) return false;
        if (peek() == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_space();
            if (at_end() || peek() != '"') return false;
            ++pos_;
            out.members.emplace_back();
            auto& member = out.members.back();
            if (!parse_string(member.first)) return false;
            skip_space();
            if (at_end() || peek() != ':') return false;
            ++pos_;
            if (!parse_value(member.second, depth + 1)) return false;
            skip_space();
            if (at_end()) return false;
            const char c = text_[pos_++];
            if (c == '}') return true;
            if (c != ',') return false;
        }
    }

    // Reads "\u" and four hex digits at the cursor; leaves the cursor alone on failure.
    bool read_u_escape(unsigned& unit) {
        if (text_.size() - pos_ < 6 || text_[pos_] != '\\' || text_[pos_ + 1] != 'u') return false;
        unsigned value = 0;
        for (std::size_t i = 2; i < 6; ++i) {
            const int digit = hex_value(text_[pos_ + i]);
            if (digit < 0) return false;
            value = (value << 4) | static_cast<unsigned>(digit);
        }
        unit = value;
        pos_ += 6;
        return true;
    }

    static void put_utf8(std::string& out, unsigned cp) {
        auto byte = [&out](unsigned b) { out.push_back(static_cast<char>(b & 0xFF)); };
        if (cp < 0x80) {
            byte(cp);
        } else if (cp < 0x800) {
            byte(0xC0 | (cp >> 6));
            byte(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            byte(0xE0 | (cp >> 12));
            byte(0x80 | ((cp >> 6) & 0x3F));
            byte(0x80 | (cp & 0x3F));
        } else {
            byte(0xF0 | (cp >> 18));
            byte(0x80 | ((cp >> 12) & 0x3F));
            byte(0x80 | ((cp >> 6) & 0x3F));
            byte(0x80 | (cp & 0x3F));
        }
    }

    // Cursor just past the opening quote; consumes the closing quote.
    bool parse_string(std::string& out) {
        for (;;) {
            if (at_end()) return false;
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c != '\\') {
                out.push_back(c);
                ++pos_;
                continue;
            }
            if (text_.size() - pos_ < 2) return false;
            const char e = text_[pos_ + 1];
            switch (e) {
                case '"':
                case '/':
                case '\\': out.push_back(e); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    unsigned unit = 0;
                    if (!read_u_escape(unit)) return false;
                    if (unit >= 0xD800 && unit <= 0xDBFF) {
                        const std::size_t before = pos_;
                        unsigned low = 0;
                        if (read_u_escape(low)) {
                            if (low >= 0xDC00 && low <= 0xDFFF) {
                                put_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                                continue;
                            }
                            pos_ = before;  // not a low surrogate: read it as its own escape
                        }
                    }
                    put_utf8(out, unit);
                    continue;
                }
                default: return false;
            }
            pos_ += 2;
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

bool json_parse(std::string_view text, JsonValue& out) {
    out = JsonValue{};
    return Reader(text).parse_document(out);
}

const JsonValue* json_find(const JsonValue& v, std::string_view key) {
    if (v.kind != JsonValue::Kind::object) return nullptr;
    for (const auto& member : v.members) {
        if (member.first == key) return &member.second;
    }
    return nullptr;
}

std::string json_string_or(const JsonValue& v, std::string_view key, const std::string& fallback) {
    const JsonValue* found = json_find(v, key);
    if (found == nullptr || found->kind != JsonValue::Kind::string) return fallback;
    return found->text;
}

std::uint64_t json_u64_or(const JsonValue& v, std::string_view key, std::uint64_t fallback) {
    const JsonValue* found = json_find(v, key);
    if (found == nullptr || found->kind != JsonValue::Kind::number) return fallback;
    const std::string& text = found->text;
    if (text.empty() || text[0] == '-') return fallback;
    const char* begin = text.c_str();
    char* end = nullptr;
    const unsigned long long value = std::strtoull(begin, &end, 10);
    if (end != begin + text.size()) return fallback;
    return static_cast<std::uint64_t>(value);
}

std::string json_escape(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() + 8);
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (b < 0x20) {
                    out += "\\u00";
                    out.push_back(hex[b >> 4]);
                    out.push_back(hex[b & 0x0F]);
                } else {
                    out.push_back(c);
                }
        }
    }
    return out;
}

}  // namespace nolu::qxt
