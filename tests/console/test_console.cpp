#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "console/console.hpp"

using namespace nolu::qxt;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Display columns of UTF-8 text without escapes: one per code point.
std::size_t columns(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

struct ColourReset {
    ~ColourReset() { colours = LogColours{}; }
};

}  // namespace

TEST(Console, LogLineWithoutColoursStartsWithASpace) {
    ColourReset guard;
    colours = LogColours{};
    EXPECT_EQ(format_log_line(colours.grey, "net  ", "connected to h:1"), " net   connected to h:1\n");
    EXPECT_EQ(format_log_line(colours.red, "share", "REJECTED — "), " share REJECTED — \n");
}

TEST(Console, LogLineWithColours) {
    ColourReset guard;
    enable_log_colours();
    EXPECT_EQ(format_log_line(colours.grey, "cpu  ", "engine avx2"), "\x1b[90m cpu  \x1b[0m engine avx2\n");
    EXPECT_EQ(format_log_line(colours.green, "block", "x"), "\x1b[32m block\x1b[0m x\n");
    EXPECT_EQ(format_log_line(colours.red, "mem  ", "y"), "\x1b[31m mem  \x1b[0m y\n");
    EXPECT_EQ(format_log_line(colours.bold, "bench", "z"), "\x1b[1m bench\x1b[0m z\n");
}

TEST(Console, BannerColourRule) {
    EXPECT_TRUE(banner_uses_colour(true, nullptr, true));
    EXPECT_FALSE(banner_uses_colour(false, nullptr, true));  // redirected
    EXPECT_FALSE(banner_uses_colour(true, "", true));        // NO_COLOR set, even empty
    EXPECT_FALSE(banner_uses_colour(true, "1", true));
    EXPECT_FALSE(banner_uses_colour(true, nullptr, false));  // --no-color
}

TEST(Console, PlainBannerLayout) {
    const auto lines = lines_of(format_banner("NOLU KORVEN QXT", "Quenmark miner (Argon2id)", "v1.0.2", false));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[7], "");
    // Rows 2 to 4 carry the title, subtitle and version after three spaces.
    const std::string suffixes[6] = {"", "   NOLU KORVEN QXT", "   Quenmark miner (Argon2id)", "   v1.0.2", "", ""};
    std::size_t width = 0;
    for (int row = 0; row < 6; ++row) {
        const std::string& line = lines[1 + row];
        const std::string& suffix = suffixes[row];
        ASSERT_EQ(line.rfind("  ", 0), 0u) << row;
        ASSERT_GE(line.size(), suffix.size() + 2);
        EXPECT_EQ(line.substr(line.size() - suffix.size()), suffix) << row;
        const std::string art = line.substr(2, line.size() - suffix.size() - 2);
        if (row == 0) width = columns(art);
        EXPECT_EQ(columns(art), width) << row;
        // Full blocks (U+2588), double-line box drawing (U+2550..U+256C) and spaces only.
        for (std::size_t i = 0; i < art.size();) {
            if (art[i] == ' ') {
                ++i;
                continue;
            }
            ASSERT_LE(i + 3, art.size());
            const unsigned cp = ((art[i] & 0x0F) << 12) | ((art[i + 1] & 0x3F) << 6) | (art[i + 2] & 0x3F);
            EXPECT_TRUE(cp == 0x2588 || (cp >= 0x2550 && cp <= 0x256C)) << std::hex << cp;
            i += 3;
        }
    }
    EXPECT_GE(width, 26u);
    EXPECT_LE(width, 27u);
}

TEST(Console, ColouredBannerEscapes) {
    const std::string banner = format_banner("T", "S", "V", true);
    const auto lines = lines_of(banner);
    ASSERT_EQ(lines.size(), 8u);
    const std::string accent = "\x1b[1m\x1b[38;2;255;77;0m";
    const std::string reset = "\x1b[0m";
    for (int row = 1; row <= 6; ++row) EXPECT_EQ(lines[row].rfind(accent + "  ", 0), 0u) << row;
    EXPECT_NE(lines[2].find(reset + "   \x1b[1m\x1b[38;2;237;232;219mT" + reset), std::string::npos);
    EXPECT_NE(lines[3].find(reset + "   \x1b[1m\x1b[38;2;237;232;219mS" + reset), std::string::npos);
    EXPECT_NE(lines[4].find(reset + "   \x1b[38;2;163;157;144mV" + reset), std::string::npos);
    EXPECT_EQ(lines[1].substr(lines[1].size() - reset.size()), reset);
}

TEST(Console, TitleLineSingularAndPlural) {
    ColourReset guard;
    colours = LogColours{};
    EXPECT_EQ(format_title_line(1), " NOLU KORVEN QXT v1.0.2  Argon2id 2 GiB · 1 thread · 1% dev fee\n");
    EXPECT_EQ(format_title_line(2), " NOLU KORVEN QXT v1.0.2  Argon2id 2 GiB · 2 threads · 1% dev fee\n");
    EXPECT_EQ(format_title_line(0), " NOLU KORVEN QXT v1.0.2  Argon2id 2 GiB · 0 thread · 1% dev fee\n");
    enable_log_colours();
    EXPECT_EQ(format_title_line(12),
              "\x1b[1m NOLU KORVEN QXT v1.0.2\x1b[0m  Argon2id 2 GiB · 12 threads · 1% dev fee\n");
}
