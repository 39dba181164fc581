#include "tune/config.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "common/replace_file.hpp"
#include "common/json.hpp"

namespace nolu::qxt {

namespace {

// JSON text of a value the reader produced (numbers keep their source text).
std::string json_text(const JsonValue& v) {
    switch (v.kind) {
        case JsonValue::Kind::null: return "null";
        case JsonValue::Kind::boolean: return v.boolean ? "true" : "false";
        case JsonValue::Kind::number: return v.text;
        case JsonValue::Kind::string: return "\"" + json_escape(v.text) + "\"";
        case JsonValue::Kind::array: {
            std::string out = "[";
            for (std::size_t i = 0; i < v.items.size(); ++i) out += (i > 0 ? "," : "") + json_text(v.items[i]);
            return out + "]";
        }
        case JsonValue::Kind::object: {
            std::string out = "{";
            for (std::size_t i = 0; i < v.members.size(); ++i)
                out += (i > 0 ? "," : "") + ("\"" + json_escape(v.members[i].first) + "\":") +
                       json_text(v.members[i].second);
            return out + "}";
        }
    }
    return "null";
}

JsonValue number(int n) {
    JsonValue v;
    v.kind = JsonValue::Kind::number;
    v.number = n;
    v.text = std::to_string(n);
    return v;
}

JsonValue text(const std::string& s) {
    JsonValue v;
    v.kind = JsonValue::Kind::string;
    v.text = s;
    return v;
}

// Sets the first member named key (dropping later duplicates) or appends it.
void set_member(JsonValue& object, const std::string& key, JsonValue value) {
    bool set = false;
    std::vector<std::pair<std::string, JsonValue>> kept;
    for (auto& member : object.members) {
        if (member.first != key) {
            kept.push_back(std::move(member));
        } else if (!set) {
            kept.emplace_back(key, value);
            set = true;
        }
    }
    if (!set) kept.emplace_back(key, std::move(value));
    object.members = std::move(kept);
}

void drop_member(JsonValue& object, const std::string& key) {
    std::vector<std::pair<std::string, JsonValue>> kept;
    for (auto& member : object.members)
        if (member.first != key) kept.push_back(std::move(member));
    object.members = std::move(kept);
}

}  // namespace

Expected<std::string> tuned_config_text(const std::string& existing, const TuneSetting& s) {
    JsonValue object;
    object.kind = JsonValue::Kind::object;
    bool blank = true;
    for (const char c : existing) blank = blank && (c == ' ' || c == '\t' || c == '\n' || c == '\r');
    if (!blank && (!json_parse(existing, object) || object.kind != JsonValue::Kind::object))
        return fail("it is not a JSON object");
    set_member(object, "engine", text(s.engine));
    set_member(object, "threads", number(s.threads));
    set_member(object, "lanes", number(s.lanes));
    set_member(object, "skip", number(s.skip));
    set_member(object, "side", number(s.side));
    if (s.side_dist != 0) {
        set_member(object, "side-dist", number(s.side_dist));
    } else {
        drop_member(object, "side-dist");
    }
    return json_text(object) + "\n";
}

Status write_tuned_config(const std::string& path, const TuneSetting& setting) {
    std::string existing;
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        std::ifstream in(path, std::ios::binary);
        if (!in) return fail("cannot read " + path);
        existing.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) return fail("cannot read " + path);
    } else if (errno != ENOENT) {
        return fail("cannot read " + path + ": " + std::strerror(errno));
    }
    const Expected<std::string> content = tuned_config_text(existing, setting);
    if (!content) return fail(path + " is left as it is: " + content.error().message);
    return replace_file(path, *content);
}

}  // namespace nolu::qxt
