// The man page help2man makes from the usage text, read as a user reads it
// (man -l): every option of the table is on it, with its value.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/options.hpp"
#include "tests/support/process.hpp"

using namespace nolu::qxt;
using namespace std::chrono_literals;

TEST(ManPage, ShowsEveryOptionOfTheTable) {
    if (!std::filesystem::exists(QXT_MAN_PAGE)) GTEST_SKIP() << "no help2man on this machine: no man page built";
    if (!std::filesystem::exists("/usr/bin/man")) GTEST_SKIP() << "no man on this machine";
    const test::ProcessResult page = test::run_process({"/usr/bin/man", "-l", QXT_MAN_PAGE}, 30s,
                                                       {"MANWIDTH=200"});
    ASSERT_EQ(page.status, 0) << page.err;
    std::string text;
    for (const char c : page.out) {  // overstrike (bold, underline) removed: "x\bx" reads "x"
        if (c != '\b')
            text += c;
        else if (!text.empty())
            text.pop_back();
    }
    EXPECT_EQ(text.find("usage:"), std::string::npos) << "the usage line belongs to the SYNOPSIS only";
    EXPECT_NE(text.find("\nOPTIONS\n"), std::string::npos);
    for (const OptionRow& row : option_table()) {
        std::string entry = row.names[0];
        if (row.value_name != nullptr) entry += std::string(" ") + row.value_name;
        EXPECT_NE(text.find(entry), std::string::npos) << entry << "\n" << text;
    }
    EXPECT_NE(text.find("/usr/share/doc/korven-qxt/vectors.txt"), std::string::npos);
}
