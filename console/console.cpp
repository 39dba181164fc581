#include "console/console.hpp"

#include <unistd.h>

#include <cstdlib>

#include "console/log_file.hpp"

namespace nolu::qxt {

LogColours colours;
std::mutex console_mutex;

void enable_log_colours() {
    colours.grey = "\x1b[90m";
    colours.red = "\x1b[31m";
    colours.green = "\x1b[32m";
    colours.bold = "\x1b[1m";
    colours.reset = "\x1b[0m";
}

std::string format_log_line(const char* colour, const char* tag, const std::string& message) {
    std::string line;
    line.reserve(message.size() + 32);
    line += colour;
    line += ' ';
    line += tag;
    line += colours.reset;
    line += ' ';
    line += message;
    line += '\n';
    return line;
}

void log_line(const char* colour, const char* tag, const std::string& message) {
    console_write(format_log_line(colour, tag, message));
}

void console_write(const std::string& text) {
    std::lock_guard<std::mutex> lock(console_mutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    append_to_log_file(text);
}

bool banner_uses_colour(bool is_tty, const char* no_color_env, bool colour_flag) {
    return is_tty && no_color_env == nullptr && colour_flag;
}

namespace {

// "QXT" in block letters: six rows of 26 columns.
constexpr const char* banner_rows[6] = {
    " ██████╗ ██╗  ██╗████████╗",
    "██╔═══██╗╚██╗██╔╝╚══██╔══╝",
    "██║   ██║ ╚███╔╝    ██║   ",
    "██║   ██║ ██╔██╗    ██║   ",
    "╚██████╔╝██╔╝ ██╗   ██║   ",
    " ╚═══██╗ ╚═╝  ╚═╝   ╚═╝   ",
};

}  // namespace

std::string format_banner(const char* title, const char* subtitle, const char* version, bool use_colour) {
    const char* accent = use_colour ? "\x1b[1m\x1b[38;2;255;77;0m" : "";
    const char* text = use_colour ? "\x1b[1m\x1b[38;2;237;232;219m" : "";
    const char* version_colour = use_colour ? "\x1b[38;2;163;157;144m" : "";
    const char* reset = use_colour ? "\x1b[0m" : "";

    std::string out = "\n";
    for (int row = 0; row < 6; ++row) {
        out += accent;
        out += "  ";
        out += banner_rows[row];
        out += reset;
        const char* colour = nullptr;
        const char* words = nullptr;
        if (row == 1) {
            colour = text;
            words = title;
        } else if (row == 2) {
            colour = text;
            words = subtitle;
        } else if (row == 3) {
            colour = version_colour;
            words = version;
        }
        if (words != nullptr) {
            out += "   ";
            out += colour;
            out += words;
            out += reset;
        }
        out += '\n';
    }
    out += '\n';
    return out;
}

void print_banner(const char* title, const char* subtitle, const char* version, bool colour_flag) {
    const bool use_colour = banner_uses_colour(isatty(1) != 0, std::getenv("NO_COLOR"), colour_flag);
    const std::string banner = format_banner(title, subtitle, version, use_colour);
    std::fwrite(banner.data(), 1, banner.size(), stdout);
    std::fflush(stdout);
}

std::string format_title_line(int threads) {
    char line[256];
    std::snprintf(line, sizeof line, "%s %s %s%s  Argon2id 2 GiB · %d thread%s · 1%% dev fee\n", colours.bold,
                  product_title, version_text, colours.reset, threads, threads >= 2 ? "s" : "");
    return line;
}

}  // namespace nolu::qxt
