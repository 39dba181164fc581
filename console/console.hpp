// The console: tagged log lines, the banner and the title line.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "common/version.hpp"

namespace nolu::qxt {

inline constexpr const char* product_title = "NOLU KORVEN QXT";
inline constexpr const char* product_subtitle = "Quenmark miner (Argon2id)";

// The five log colours. They start as empty strings and main points them at
// the ANSI escapes once, before any other thread exists (unless --no-color).
struct LogColours {
    const char* grey = "";
    const char* red = "";
    const char* green = "";
    const char* bold = "";
    const char* reset = "";
};
extern LogColours colours;

// Points the five colours at their escapes.
void enable_log_colours();

// Serialises every tagged line (and nothing else: it is a leaf lock).
extern std::mutex console_mutex;

// Writes "<colour> <tag><reset> <message>\n" to stdout under the console
// mutex and flushes. Tags are five characters, padded inside the tag text.
void log_line(const char* colour, const char* tag, const std::string& message);

// Writes text as it is to stdout under the console mutex and flushes; with
// --log-file its lines also go to the log file (console/log_file.hpp), as do
// log_line's.
void console_write(const std::string& text);

// Formats like log_line into a string (no lock, no output); log_line writes
// exactly these bytes.
std::string format_log_line(const char* colour, const char* tag, const std::string& message);

// Whether the banner may use colour: stdout is a terminal, NO_COLOR is unset
// (an empty value counts as set) and --no-color was not given.
bool banner_uses_colour(bool is_tty, const char* no_color_env, bool colour_flag);

// The banner: an empty line, six rows of block letters (rows 2-4 followed by
// title, subtitle and version), an empty line.
std::string format_banner(const char* title, const char* subtitle, const char* version, bool use_colour);
void print_banner(const char* title, const char* subtitle, const char* version, bool colour_flag);

// "<bold>NOLU KORVEN QXT v1.0.2<reset>  Argon2id 2 GiB · N thread(s) · 1% dev fee\n"
std::string format_title_line(int threads);

}  // namespace nolu::qxt
