#include "cli/config_file.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/json.hpp"
#include "common/printable.hpp"

namespace nolu::qxt {

namespace {

constexpr std::size_t max_file_bytes = 1 << 20;

// A text from the file, fit for one line on a terminal.
std::string shown(std::string_view text) { return printable(text, 64); }

class Reader {
public:
    Reader(const std::string& name, Options& o, std::span<const OptionRow> table)
        : name_(shown(name)), o_(o), table_(table) {}

    Outcome<Done> apply(std::string_view text) {
        JsonValue root;
        if (!json_parse(text, root))
            return fail("not valid JSON (comments are keys that begin with \"_\"; check quotes and commas)");
        if (root.kind != JsonValue::Kind::object) return fail("not a JSON object ({\"key\": value, ...})");
        std::vector<std::string_view> seen;
        for (const auto& [key, value] : root.members) {
            if (!key.empty() && key[0] == '_') continue;
            for (const std::string_view earlier : seen)
                if (earlier == key) return fail(quoted(key) + " is given twice");
            seen.push_back(key);
            const OptionRow* row = find(key);
            if (row == nullptr)
                return fail("unknown key " + quoted(key) + " (keys are the long options without \"--\", see --help)");
            if (row->config == ConfigValue::none) return fail(quoted(key) + " cannot be set in a settings file");
            if (const Outcome<Done> applied = apply_value(*row, key, value); !applied) return applied;
        }
        return Done{};
    }

private:
    Failure fail(const std::string& problem) const {
        return command_line_failure("config file " + name_ + ": " + problem);
    }
    static std::string quoted(std::string_view key) { return "\"" + shown(key) + "\""; }

    const OptionRow* find(std::string_view key) const {
        for (const OptionRow& row : table_) {
            const std::string_view name = row.names[0];
            if (name.size() > 2 && name.substr(2) == key) return &row;
        }
        return nullptr;
    }

    Outcome<Done> apply_value(const OptionRow& row, std::string_view key, const JsonValue& value) {
        if (!row.takes_value) {
            if (value.kind != JsonValue::Kind::boolean) return fail(quoted(key) + " must be true or false");
            if (value.boolean) row.apply(o_, nullptr);
            return Done{};
        }
        switch (row.config) {
            case ConfigValue::integer:
                if (!whole_number(value)) return fail(quoted(key) + " must be a whole number");
                if (const Status range = check_number(row.names[0], value.text.c_str()); !range)
                    return fail(range.error().message);
                row.apply(o_, value.text.c_str());
                return Done{};
            case ConfigValue::texts:
                if (value.kind == JsonValue::Kind::array) {
                    for (const JsonValue& item : value.items)
                        if (!plain_string(item)) return fail(quoted(key) + " must be a string or an array of strings");
                    for (const JsonValue& item : value.items) row.apply(o_, item.text.c_str());
                    return Done{};
                }
                if (!plain_string(value)) return fail(quoted(key) + " must be a string or an array of strings");
                row.apply(o_, value.text.c_str());
                return Done{};
            case ConfigValue::text:
            case ConfigValue::none:
                break;
        }
        if (!plain_string(value)) return fail(quoted(key) + " must be a string");
        row.apply(o_, value.text.c_str());
        return Done{};
    }

    // A string the option can take whole (a NUL would cut it short).
    static bool plain_string(const JsonValue& v) {
        return v.kind == JsonValue::Kind::string && v.text.find('\0') == std::string::npos;
    }

    // An optional '-' and decimal digits, within an int.
    static bool whole_number(const JsonValue& v) {
        if (v.kind != JsonValue::Kind::number) return false;
        const std::string& t = v.text;
        const std::size_t digits = t.size() > 0 && t[0] == '-' ? 1 : 0;
        if (t.size() == digits || t.size() - digits > 10) return false;
        for (std::size_t i = digits; i < t.size(); ++i)
            if (t[i] < '0' || t[i] > '9') return false;
        const long long n = std::strtoll(t.c_str(), nullptr, 10);
        return n >= INT_MIN && n <= INT_MAX;
    }

    std::string name_;
    Options& o_;
    std::span<const OptionRow> table_;
};

}  // namespace

Outcome<Done> apply_config_text(std::string_view text, const std::string& name, Options& o,
                                std::span<const OptionRow> table) {
    return Reader(name, o, table).apply(text);
}

Outcome<Done> load_config_file(const std::string& path, Options& o) {
    const std::string name = shown(path);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return command_line_failure("config file " + name + ": cannot open it (" + std::strerror(errno) + ")");
    std::string text;
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() <= max_file_bytes) text.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    const int error = errno;
    std::fclose(f);
    if (failed) return command_line_failure("config file " + name + ": cannot read it (" + std::strerror(error) + ")");
    if (text.size() > max_file_bytes) return command_line_failure("config file " + name + ": larger than 1 MiB");
    return apply_config_text(text, path, o);
}

}  // namespace nolu::qxt
