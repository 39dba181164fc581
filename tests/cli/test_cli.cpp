// The real binary through its command line: exit statuses and what goes to
// which stream.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/sanitizers.hpp"
#include "cli/options.hpp"
#include "app/startup.hpp"
#include "tests/support/process.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;

namespace {

const std::string& binary = miner_binary();

ProcessResult run(std::vector<std::string> args, std::chrono::milliseconds limit = 20s) {
    return run_miner(std::move(args), limit);
}

// A command line refused before the banner: status 2, the error line on
// stderr, nothing on stdout.
void expect_refused(const std::vector<std::string>& args, const std::string& err) {
    std::string line;
    for (const std::string& arg : args) line += " " + arg;
    SCOPED_TRACE("arguments:" + line);
    const ProcessResult r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
}

}  // namespace

TEST(Cli, HelpGoesToStdoutWithStatusZero) {
    const ProcessResult r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage_text(binary.c_str()));
    EXPECT_EQ(r.err, "");
}

TEST(Cli, CommandLineErrorsEndBeforeTheBanner) {
    expect_refused({"-u", "a", "-o"}, "missing value for --pool\n");

    const ProcessResult r = run({"-u"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "missing value for --user\n");

    expect_refused({"--pool=h:1", "--help"}, "unknown option --pool=h:1 (see --help)\n");
    expect_refused({"-o", "h:70000", "-u", "a"}, "pool port 70000 is out of range (0 to 65535)\n");
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


TEST(Cli, StatusServerAddressesAreCheckedBeforeTheBanner) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"--http", "0.0.0.0:9100"},
         "--http 0.0.0.0:9100 would serve beyond loopback without a token: add --http-token <t> (or listen on "
         "127.0.0.1)\n"},
        {{"--http", "[::]:9100", "--http-token", ""},
         "--http [::]:9100 would serve beyond loopback without a token: add --http-token <t> (or listen on "
         "127.0.0.1)\n"},
        {{"--http", "::1:9100"}, "--http ::1:9100: write an IPv6 address as [address]:port\n"},
        {{"--http", "[::1]9100"}, "--http [::1]9100: write an IPv6 address as [address]:port\n"},
        {{"--http", ":9100"},
         "--http :9100: give a host before the colon (0.0.0.0 for every interface) or a bare port\n"},
        {{"--http", "65536"}, "--http 65536: the port must be 0 to 65535\n"},
        {{"--http", "127.0.0.1:90x"}, "--http 127.0.0.1:90x: the port must be 0 to 65535\n"},
        {{"--http", "9100", "--http-token", "two words"}, "--http-token: use printable characters without blanks\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-u", "a"});
        expect_refused(args, c.err);
    }

    // A port in use is named with the error the system gave.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    expect_refused({"--http", port, "-u", "a"},
                   "cannot listen on 127.0.0.1:" + port + " (--http " + port + "): Address already in use\n");
    ::close(fd);
}

TEST(Cli, NumbersOutOfRangeEndBeforeTheBanner) {
    expect_refused({"--bench", "3000000000"}, "--bench 3000000000 is out of range (0 to 2147483647)\n");
    expect_refused({"-t", "2147483647", "-u", "a"}, "--threads 2147483647 is out of range (at most 1024)\n");
}

TEST(Cli, NoThreadWithAnArenaIsAFailureNotAnIdleRig) {
#if defined(QXT_SANITIZED_BUILD)
    GTEST_SKIP() << "the sanitizers' shadow memory does not fit under an address-space limit";
#endif
    if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "prlimit not installed";
    // An address space of 1 GiB: no 2 GiB arena can be mapped (nothing is
    // hashed). -t 1024 is beyond what this machine's memory holds: a warning.
    ProcessResult r = run_process({"/usr/bin/prlimit", "--as=1073741824", "--", binary, "--no-color", "-t", "1024",
                                   "-o", "127.0.0.1:1", "-u", "a"},
                                  20s);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("\n mem   -t 1024 is more than memory holds: "), std::string::npos) << r.out;
    const std::string last = " mem   no mining thread could map its arena: nothing to mine with\n";
    ASSERT_GE(r.out.size(), last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last) << r.out;
    EXPECT_EQ(r.out.find("shutdown requested"), std::string::npos);

    r = run_process({"/usr/bin/prlimit", "--as=1073741824", "--", binary, "-t", "1", "--bench", "5"}, 20s);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.find(" bench "), std::string::npos);
    EXPECT_NE(r.out.find("no mining thread could map its arena"), std::string::npos);
}

TEST(Cli, MemoryWarningNamesWhatFits) {
    MemoryBudget budget;
    budget.available = 12LL << 30;
    budget.fit_2m = 1;
    budget.fit_ram = 4;
    EXPECT_EQ(memory_warning(8, 1, 2ull << 30, budget),
              "-t 8 is more than memory holds: 5 arena(s) of 2048 MiB (0 in 1 GiB pages, 1 in 2 MiB pages, 4 in "
              "12288 MiB available); the system may run out of memory");
    EXPECT_EQ(memory_warning(5, 1, 2ull << 30, budget), "");
    EXPECT_EQ(memory_warning(0, 1, 2ull << 30, budget), "");  // automatic: the rule fits it
    // Lanes: every lane has an arena of its own.
    EXPECT_EQ(memory_warning(3, 2, 2ull << 30, budget),
              "-t 3 --lanes 2 (6 arenas) is more than memory holds: 5 arena(s) of 2048 MiB (0 in 1 GiB pages, 1 in "
              "2 MiB pages, 4 in 12288 MiB available); the system may run out of memory");
}
