// The JSON reader and escaper: nesting limit, escapes, the lenient number
// scan, literals, duplicates, raw bytes and the end-of-text rule.
#include <gtest/gtest.h>

#include <string>

#include "common/json.hpp"

using namespace nolu::qxt;

namespace {

bool parses(const std::string& text) {
    JsonValue v;
    return json_parse(text, v);
}

std::string nested(const std::string& open, const std::string& inner, const std::string& close, int levels) {
    std::string s;
    for (int i = 0; i < levels; ++i) s += open;
    s += inner;
    for (int i = 0; i < levels; ++i) s += close;
    return s;
}

// The text of a one-member object {"s":"<escaped>"} parsed, the string returned.
std::string unescape(const std::string& escaped) {
    JsonValue v;
    EXPECT_TRUE(json_parse("{\"s\":\"" + escaped + "\"}", v)) << escaped;
    return json_string_or(v, "s", "<missing>");
}

std::uint64_t u64_of(const std::string& number_text) {
    JsonValue v;
    EXPECT_TRUE(json_parse("{\"n\":" + number_text + "}", v)) << number_text;
    return json_u64_or(v, "n", 777);
}

}  // namespace

TEST(Json, EmptyContainersAndWhiteSpace) {
    for (const char* text : {"[]", "{}", " [ ] ", "\t{\r\n}\n", "[ [ ] , { } ]"}) EXPECT_TRUE(parses(text)) << text;
    for (const char* text : {"", " ", "[", "{", "[1,]", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "{a:1}", "{1:2}", "\f1"})
        EXPECT_FALSE(parses(text)) << text;
}

TEST(Json, NestingLimitCountsArraysAndObjectsAlike) {
    EXPECT_TRUE(parses(nested("[", "1", "]", 31)));
    EXPECT_FALSE(parses(nested("[", "1", "]", 32)));
    EXPECT_TRUE(parses(nested("[", "", "]", 32)));
    EXPECT_FALSE(parses(nested("[", "", "]", 33)));

    EXPECT_TRUE(parses(nested("{\"k\":", "1", "}", 31)));
    EXPECT_FALSE(parses(nested("{\"k\":", "1", "}", 32)));
    EXPECT_TRUE(parses(nested("{\"k\":", "{}", "}", 31)));
    EXPECT_FALSE(parses(nested("{\"k\":", "{}", "}", 32)));

    // 16 arrays, each holding an object: 32 levels, then one value more.
    EXPECT_TRUE(parses(nested("[{\"k\":", "[]", "}]", 15)));
    EXPECT_TRUE(parses(nested("[{\"k\":", "{}", "}]", 15)));
    EXPECT_TRUE(parses(nested("[{\"k\":", "[{}]", "}]", 15)));
    EXPECT_FALSE(parses(nested("[{\"k\":", "[{\"k\":1}]", "}]", 15)));
    EXPECT_FALSE(parses(nested("[{\"k\":", "[{\"k\":[]}]", "}]", 15)));

    // A deep hostile line fails cleanly instead of exhausting the stack.
    EXPECT_FALSE(parses(std::string(200000, '[')));
}

TEST(Json, UnicodeEscapesAndSurrogates) {
    EXPECT_EQ(unescape("\\u00e9"), "\xC3\xA9");
    EXPECT_EQ(unescape("\\u00E9\\u0041"), "\xC3\xA9"
                                          "A");
    EXPECT_EQ(unescape("\\u20AC"), "\xE2\x82\xAC");
    EXPECT_EQ(unescape("\\ud83d\\ude00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(unescape("\\uD83D\\uDE00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(unescape("\\ud83dx"), "\xED\xA0\xBDx");
    EXPECT_EQ(unescape("\\ude00"), "\xED\xB8\x80");
    // A high surrogate followed by an escape that is not a low surrogate:
    // both are written on their own.
    EXPECT_EQ(unescape("\\ud83d\\u0041"), "\xED\xA0\xBD"
                                          "A");
    EXPECT_EQ(unescape("\\ud83d\\ud83d\\ude00"), "\xED\xA0\xBD\xF0\x9F\x98\x80");
    EXPECT_EQ(unescape("\\u0000"), std::string(1, '\0'));
    EXPECT_EQ(unescape("\\\"\\\\\\/\\b\\f\\n\\r\\t"), "\"\\/\b\f\n\r\t");

    EXPECT_FALSE(parses("\"\\u00e\""));
    EXPECT_FALSE(parses("\"\\u00e"));
    EXPECT_FALSE(parses("\"\\u00g0\""));
    EXPECT_FALSE(parses("\"\\ud83d\\u12\""));  // short second escape is read on its own and fails
    EXPECT_FALSE(parses("\"\\x41\""));
    EXPECT_FALSE(parses("\"\\"));
    EXPECT_FALSE(parses("\"abc"));
}

TEST(Json, RawBytesInStringsAreCopied) {
    JsonValue v;
    ASSERT_TRUE(json_parse(std::string("[\"a\tb\x01\xFF\"]"), v));
    ASSERT_EQ(v.items.size(), 1u);
    EXPECT_EQ(v.items[0].text, "a\tb\x01\xFF");
    ASSERT_TRUE(json_parse(std::string("\"a\0b\"", 5), v));
    EXPECT_EQ(v.text, std::string("a\0b", 3));
}

TEST(Json, LenientNumbersAndTheUnsignedReading) {
    JsonValue v;
    ASSERT_TRUE(json_parse("-", v));
    EXPECT_EQ(v.kind, JsonValue::Kind::number);
    EXPECT_EQ(v.text, "-");
    EXPECT_EQ(v.number, 0.0);
    ASSERT_TRUE(json_parse("1-2", v));
    EXPECT_EQ(v.text, "1-2");
    EXPECT_EQ(v.number, 1.0);
    ASSERT_TRUE(json_parse("[.5,E,+]", v));
    EXPECT_EQ(v.items.size(), 3u);

    EXPECT_EQ(u64_of("-"), 777u);
    EXPECT_EQ(u64_of("+"), 777u);
    EXPECT_EQ(u64_of("+5"), 5u);
    EXPECT_EQ(u64_of("5.0"), 777u);
    EXPECT_EQ(u64_of("5e3"), 777u);
    EXPECT_EQ(u64_of("-5"), 777u);
    EXPECT_EQ(u64_of("-0"), 777u);
    EXPECT_EQ(u64_of("00012"), 12u);
    EXPECT_EQ(u64_of("+-5"), 777u);
    EXPECT_EQ(u64_of("0"), 0u);
    EXPECT_EQ(u64_of("18446744073709551615"), ~std::uint64_t{0});
    EXPECT_EQ(u64_of("99999999999999999999999"), ~std::uint64_t{0});
    EXPECT_FALSE(parses("{\"n\":0x5}"));
    EXPECT_FALSE(parses("0x5"));

    ASSERT_TRUE(json_parse(R"({"s":"5","t":true,"z":null})", v));
    EXPECT_EQ(json_u64_or(v, "s", 9), 9u);
    EXPECT_EQ(json_u64_or(v, "t", 9), 9u);
    EXPECT_EQ(json_u64_or(v, "missing", 9), 9u);
}

TEST(Json, Literals) {
    JsonValue v;
    ASSERT_TRUE(json_parse("[true,false,null]", v));
    ASSERT_EQ(v.items.size(), 3u);
    EXPECT_EQ(v.items[0].kind, JsonValue::Kind::boolean);
    EXPECT_TRUE(v.items[0].boolean);
    EXPECT_FALSE(v.items[1].boolean);
    EXPECT_EQ(v.items[2].kind, JsonValue::Kind::null);
    for (const char* text : {"True", "nul", "nulll", "[nul]", "[nulll]", "{\"a\":tru}", "fals", "truex"})
        EXPECT_FALSE(parses(text)) << text;
}

TEST(Json, LookupsTakeTheFirstMemberAndCheckKinds) {
    JsonValue v;
    ASSERT_TRUE(json_parse(R"({"id":1,"id":2,"s":3,"s":"later","name":"x"})", v));
    ASSERT_EQ(v.members.size(), 5u);
    EXPECT_EQ(json_u64_or(v, "id", 0), 1u);
    EXPECT_EQ(json_find(v, "id")->text, "1");
    EXPECT_EQ(json_string_or(v, "s", "dflt"), "dflt");  // the first "s" is a number
    EXPECT_EQ(json_string_or(v, "name", "dflt"), "x");
    EXPECT_EQ(json_find(v, "nam"), nullptr);

    ASSERT_TRUE(json_parse(R"([{"id":1}])", v));
    EXPECT_EQ(json_find(v, "id"), nullptr);
    EXPECT_EQ(json_string_or(v, "id", "d"), "d");
}

TEST(Json, OnlyWhiteSpaceMayFollowTheValue) {
    EXPECT_TRUE(parses("{\"a\":1}\r\n"));
    EXPECT_TRUE(parses("  7 \t"));
    EXPECT_FALSE(parses("{\"a\":1}{\"b\":2}"));
    EXPECT_FALSE(parses("{\"a\":1}\r\n{}"));
    EXPECT_FALSE(parses("1 2"));
    EXPECT_FALSE(parses("\"a\"x"));
}

TEST(Json, ParseResetsTheOutput) {
    JsonValue v;
    ASSERT_TRUE(json_parse(R"({"a":[1,2]})", v));
    ASSERT_TRUE(json_parse("null", v));
    EXPECT_EQ(v.kind, JsonValue::Kind::null);
    EXPECT_TRUE(v.members.empty());
    EXPECT_TRUE(v.items.empty());
}

TEST(Json, Escaper) {
    EXPECT_EQ(json_escape("\"\\\n\x01\xC3\xA9"), "\\\"\\\\\\n\\u0001\xC3\xA9");
    EXPECT_EQ(json_escape("\r\t\b\f\x1F\x7F"), "\\r\\t\\u0008\\u000c\\u001f\x7F");
    EXPECT_EQ(json_escape(std::string("a\0b", 3)), "a\\u0000b");
    EXPECT_EQ(json_escape("plain /text"), "plain /text");

    // Every byte string survives escaping and reading back.
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(unescape(json_escape(all)), all);
    EXPECT_EQ(json_escape(all).find('\n'), std::string::npos);
}
