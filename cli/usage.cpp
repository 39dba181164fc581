// The usage text, made from the option table: one entry per listed option,
// its help words wrapped at 80 columns under the help column.
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/options.hpp"

namespace nolu::qxt {

namespace {

constexpr std::size_t help_column = 27;
constexpr std::size_t line_width = 80;

// "  -o, --pool <host:port>" or "      --stats-file <f>"
std::string option_words(const OptionRow& row) {
    const bool has_short = row.names[1] != nullptr && row.names[1][1] != '-';
    std::string words = has_short ? std::string("  ") + row.names[1] + ", " : std::string(6, ' ');
    words += row.names[0];
    if (row.value_name != nullptr) words += std::string(" ") + row.value_name;
    return words;
}

std::string with_default_pool(std::string_view help) {
    std::string text(help);
    if (const std::size_t at = text.find("{pool}"); at != std::string::npos) text.replace(at, 6, default_pool);
    return text;
}

// The help words after `line` (already holding the option words), filling
// each line up to the width and going on under the help column.
void append_wrapped(std::string& text, std::string line, std::string_view help) {
    line.append(line.size() + 2 <= help_column ? help_column - line.size() : 2, ' ');
    bool line_has_words = false;
    while (!help.empty()) {
        // A word, held together with "= x" after it ("0 = off" stays on one line).
        std::size_t end = help.find(' ');
        if (end != std::string_view::npos && help.substr(end + 1, 2) == "= ") end = help.find(' ', end + 3);
        const std::string_view word = help.substr(0, end);
        help = end == std::string_view::npos ? std::string_view{} : help.substr(end + 1);
        if (line_has_words && line.size() + 1 + word.size() > line_width) {
            text += line + "\n";
            line.assign(help_column, ' ');
            line_has_words = false;
        }
        if (line_has_words) line += ' ';
        line += word;
        line_has_words = true;
    }
    text += line + "\n";
}

}  // namespace

std::string usage_text(const char* program) {
    std::string text = std::string("usage: ") + program + " -u <QXT address> [options]\n";
    for (const OptionRow& row : option_table())
        if (row.listed) append_wrapped(text, option_words(row), with_default_pool(row.help));
    return text;
}

int print_usage(const char* program) {
    std::fputs(usage_text(program).c_str(), stdout);
    return 0;
}

}  // namespace nolu::qxt
