// The real binary through its command line: exit statuses and what goes to
// which stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "app/options.hpp"
#include "tests/support/process.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;

namespace {

const std::string binary = QXT_BINARY;

ProcessResult run(std::vector<std::string> args, std::chrono::milliseconds limit = 20s) {
    args.insert(args.begin(), binary);
    return run_process(args, limit);
}

}  // namespace

TEST(Cli, HelpGoesToStdoutWithStatusZero) {
    const ProcessResult r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage_text(binary.c_str()));
    EXPECT_EQ(r.err, "");
}

TEST(Cli, CommandLineErrorsEndBeforeTheBanner) {
    ProcessResult r = run({"-u", "a", "-o"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "missing value for --pool\n");
    EXPECT_EQ(r.out, "");

    r = run({"-u"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "missing value for --user\n");

    r = run({"--pool=h:1", "--help"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "unknown option --pool=h:1 (see --help)\n");
    EXPECT_EQ(r.out, "");

    r = run({"-o", "h:70000", "-u", "a"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "pool port 70000 is out of range (0 to 65535)\n");
    EXPECT_EQ(r.out, "");
}

TEST(Cli, RedirectedOutputHasAPlainBannerAndColouredLogLines) {
    // --side with the AVX2 engine is refused on every processor.
    ProcessResult r = run({"--engine", "avx2", "--side", "16", "-u", "a"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.find("\x1b[38;2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("NOLU KORVEN QXT"), std::string::npos);
    EXPECT_NE(r.out.find("\x1b[31m cpu  \x1b[0m --side needs the AVX-512 engine\n"), std::string::npos) << r.out;

    r = run({"--no-color", "--engine", "avx2", "--skip", "600", "-u", "a"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_NE(r.out.find("\n cpu   --skip needs the AVX-512 engine\n"), std::string::npos) << r.out;

    r = run({"--no-color", "--skip-norebuild", "-u", "a"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find(" cpu   --skip-norebuild is a probe: --bench only (hashes are wrong)\n"), std::string::npos);
}

