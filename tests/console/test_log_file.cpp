// The log file of --log-file: the time stamp, escapes dropped, lines appended
// beside an unchanged console, and a file that follows a log rotation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "console/console.hpp"
#include "console/log_file.hpp"
#include "tests/support/capture.hpp"

using namespace nolu::qxt;
namespace fs = std::filesystem;

namespace {

std::tm at(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A folder for one test's log files.
struct Folder {
    fs::path path = fs::temp_directory_path() / ("qxt-log-" + std::to_string(getpid()) + "-" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Folder() {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~Folder() { fs::remove_all(path); }
};

// Whether text is lines of a time stamp, one space, and the expected text.
bool stamped(const std::string& text, const std::vector<std::string>& expected) {
    const std::string shape = "0000-00-00T00:00:00.000+00:00";  // 0: a digit, +: a sign
    std::istringstream in(text);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line); ++n) {
        if (n >= expected.size() || line.size() < shape.size()) return false;
        for (std::size_t i = 0; i < shape.size(); ++i) {
            const char c = line[i];
            const bool fits = shape[i] == '0' ? (c >= '0' && c <= '9') : shape[i] == '+' ? (c == '+' || c == '-')
                                                                                        : c == shape[i];
            if (!fits) return false;
        }
        if (line.substr(shape.size()) != expected[n]) return false;
    }
    return n == expected.size() && !text.empty() && text.back() == '\n';
}

}  // namespace

TEST(LogFile, TimeStampIsIso8601WithTheOffset) {
    EXPECT_EQ(log_time_stamp(at(2026, 12, 8, 7, 48, 6), 5, 3600), "2026-12-08T07:48:06.005+01:00");
    EXPECT_EQ(log_time_stamp(at(2027, 1, 31, 23, 59, 59), 999, 0), "2027-01-31T23:59:59.999+00:00");
    EXPECT_EQ(log_time_stamp(at(2026, 6, 1, 0, 0, 0), 0, -5400), "2026-06-01T00:00:00.000-01:30");
    EXPECT_EQ(log_time_stamp(at(2026, 6, 1, 12, 0, 0), 120, 19800), "2026-06-01T12:00:00.120+05:30");
}

TEST(LogFile, EscapesAreDropped) {
    EXPECT_EQ(without_escapes("\x1b[31m cpu  \x1b[0m --side needs the AVX-512 engine\n"),
              " cpu   --side needs the AVX-512 engine\n");
    EXPECT_EQ(without_escapes("\x1b[1m\x1b[38;2;255;77;0mQXT\x1b[0m"), "QXT");
    EXPECT_EQ(without_escapes("a\x1b[3"), "a");     // cut short
    EXPECT_EQ(without_escapes("a\x1b" "b"), "a\x1b" "b");  // not a sequence
    EXPECT_EQ(without_escapes("speed · 1.00 H/s ‰"), "speed · 1.00 H/s ‰");
}

TEST(LogFile, ConsoleLinesAreAppendedWithTimeStamps) {
    Folder dir;
    const fs::path log = dir.path / "miner.log";
    std::ofstream(log) << "an earlier run\n";
    ASSERT_TRUE(open_log_file(log.string()));

    const std::string tagged = "\x1b[32m share\x1b[0m accepted (1/0)\n";
    const std::string out = nolu::qxt::test::capture_stdout([&] {
        console_write(tagged);
        console_write("\n shutdown requested — clean exit\n");
    });
    EXPECT_EQ(out, tagged + "\n shutdown requested — clean exit\n");  // the console is unchanged

    const std::string text = read(log);
    const std::string earlier = "an earlier run\n";
    ASSERT_EQ(text.substr(0, earlier.size()), earlier);
    EXPECT_TRUE(stamped(text.substr(earlier.size()), {" share accepted (1/0)", " shutdown requested — clean exit"}))
        << text;
}

TEST(LogFile, FollowsARotationThatRenamesOrRemovesTheFile) {
    Folder dir;
    const fs::path log = dir.path / "miner.log";
    ASSERT_TRUE(open_log_file(log.string()));
    nolu::qxt::test::capture_stdout([&] { console_write(" net   one\n"); });
    fs::rename(log, dir.path / "miner.log.1");
    nolu::qxt::test::capture_stdout([&] { console_write(" net   two\n"); });
    fs::remove(log);
    nolu::qxt::test::capture_stdout([&] { console_write(" net   three\n"); });

    EXPECT_TRUE(stamped(read(dir.path / "miner.log.1"), {" net   one"}));
    EXPECT_TRUE(stamped(read(log), {" net   three"})) << read(log);

    // A copy-and-truncate rotation: the next line starts the file again, no hole before it.
    fs::resize_file(log, 0);
    nolu::qxt::test::capture_stdout([&] { console_write(" net   four\n"); });
    EXPECT_TRUE(stamped(read(log), {" net   four"})) << read(log);
}

TEST(LogFile, AFolderThatIsNotThereFails) {
    const Status s = open_log_file("/no/such/folder/miner.log");
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "cannot open the log file /no/such/folder/miner.log (No such file or directory)");
}
