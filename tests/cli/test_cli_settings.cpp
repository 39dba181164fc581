// The real binary's --version, settings file and log file through its command
// line: what goes to which stream, exit statuses, and the log file's lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/version_info.hpp"
#include "host/cpu_features.hpp"
#include "tests/support/process.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string& binary = miner_binary();

ProcessResult run(std::vector<std::string> args) { return run_miner(std::move(args), 30s); }

fs::path scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("qxt-cli-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(CliSettings, VersionNamesTheEnginesOfThisProcessor) {
    const ProcessResult r = run({"-V"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, version_report(detect_isa()));  // no banner
    EXPECT_EQ(r.out.rfind("korven-qxt v1.0.2\nengines: ", 0), 0u) << r.out;
    EXPECT_EQ(run({"--version", "-u", "a"}).out, r.out);
}

TEST(CliSettings, VersionReportForEveryKindOfProcessor) {
    EXPECT_EQ(version_report({.avx2 = true, .avx512 = true}),
              "korven-qxt v1.0.2\nengines: avx512 avx2 (default: avx512)\n");
    EXPECT_EQ(version_report({.avx2 = true, .avx512 = false}), "korven-qxt v1.0.2\nengines: avx2 (default: avx2)\n");
    EXPECT_EQ(version_report({}), "korven-qxt v1.0.2\nengines: none: this processor has neither AVX-512 nor AVX2\n");
}

TEST(CliSettings, ABadSettingsFileEndsBeforeTheBanner) {
    const fs::path dir = scratch("config");
    const std::string file = (dir / "k.json").string();
    std::ofstream(file) << R"({"user": "a", "threds": 2})";
    const ProcessResult r = run({"-c", file});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "config file " + file +
                         ": unknown key \"threds\" (keys are the long options without \"--\", see --help)\n");
    fs::remove_all(dir);
}

TEST(CliSettings, LogFileGetsTheConsoleLinesWithTimeStamps) {
    const fs::path dir = scratch("log");
    const std::string log = (dir / "miner.log").string();
    ProcessResult r = run({"--log-file", (dir / "missing/miner.log").string(), "-u", "a"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "cannot open the log file " + (dir / "missing/miner.log").string() +
                         " (No such file or directory)\n");

    // A rule failure after the banner: a red tagged line on the console, plain in the file.
    const std::string file = (dir / "k.json").string();
    std::ofstream(file) << R"({"log-file": ")" + log + R"(", "engine": "avx2", "side": 16, "user": "a"})";
    r = run({"-c", file});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("\x1b[31m cpu  \x1b[0m --side needs the AVX-512 engine\n"), std::string::npos) << r.out;
    // "2026-12-08T07:48:06.123+01:00" and the line.
    const std::string text = read(log);
    const std::string line = " cpu   --side needs the AVX-512 engine\n";
    ASSERT_EQ(text.size(), 29 + line.size()) << text;
    EXPECT_EQ(text.substr(29), line);
    EXPECT_EQ(text[10], 'T');
    EXPECT_EQ(text[19], '.');
    EXPECT_TRUE(text[23] == '+' || text[23] == '-') << text;
    fs::remove_all(dir);
}

TEST(CliSettings, DryRunChecksEverythingAndStartsNothing) {
    const fs::path dir = scratch("dry");
    const std::string file = (dir / "rig.json").string();
    const std::string stats = (dir / "stats.json").string();
    const std::string log = (dir / "miner.log").string();
    std::ofstream(file) << R"({"user": "QXdry", "pool": "127.0.0.1:9", "threads": 1, "stats-file": ")" + stats +
                               R"(", "log-file": ")" + log + R"("})";
    ProcessResult r = run({"--no-color", "-c", file, "--dry-run", "-w", "rig5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string& line : std::vector<std::string>{" pool  127.0.0.1:9\n", " user  QXdry · worker rig5\n",
                                   " files settings " + file + " · statistics " + stats + " · log " + log + "\n",
                                   " dry   dry run: the settings hold; nothing was started\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_FALSE(fs::exists(stats) || fs::exists(log));  // nothing written

    // The refusals and statuses of a start.
    r = run({"--no-color", "-c", file, "--dry-run", "--lanes", "7"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, " cpu   --lanes takes 1 to 4\n");
    r = run({"--dry-run", "-t", "1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "a QXT payout address is required: -u <address>\n");
    r = run_process({binary, "--dry-run", "-u", "QX", "--max-temp", "90"}, 30s, {"QXT_SENSOR_ROOT=" + dir.string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("--max-temp 90: no CPU temperature sensor", 0), 0u) << r.err;
    r = run({"--dry-run", "-u", "QX", "--http", "0.0.0.0:9410"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "--http 0.0.0.0:9410 would serve beyond loopback without a token: add --http-token <t> (or "
                     "listen on 127.0.0.1)\n");
    fs::remove_all(dir);
}
