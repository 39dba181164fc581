// The shipped binary starts on every x86-64 Linux: read with readelf, it asks
// for no program interpreter and no shared library, and no symbol version
// newer than glibc 2.27 or of libstdc++/libgcc_s. The same check finds those
// in a dynamically linked program (this test's own), so a build that slips
// back to dynamic linking fails here. Hardened, it is static-pie (a shared
// object's type, no interpreter) with full RELRO, and its own code carries the
// stack protector and fortified calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "tests/packaging/util.hpp"

using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const char* const readelf = "/usr/bin/readelf";

// "2.34" is newer than "2.27": dotted numbers compared part by part.
bool newer_than(const std::string& version, const std::string& limit) {
    std::istringstream a(version), b(limit);
    for (;;) {
        std::string x, y;
        const bool more_a = static_cast<bool>(std::getline(a, x, '.'));
        const bool more_b = static_cast<bool>(std::getline(b, y, '.'));
        if (!more_a && !more_b) return false;
        const long vx = more_a ? std::stol(x) : 0, vy = more_b ? std::stol(y) : 0;
        if (vx != vy) return vx > vy;
    }
}

// What keeps the binary at path from starting on a system with glibc 2.27 and
// no C++ runtime; empty when nothing does.
std::vector<std::string> portability_problems(const std::string& path) {
    std::vector<std::string> problems;
    const ProcessResult headers = run_process({readelf, "-W", "-l", "-d", path}, 30s);
    if (headers.status != 0) return {"readelf failed: " + headers.err};
    for (const std::string& line : split_lines(headers.out)) {
        const std::string interpreter = "Requesting program interpreter: ", needed = "Shared library: [";
        if (const std::size_t at = line.find(interpreter); at != std::string::npos)
            problems.push_back("interpreter " + line.substr(at + interpreter.size(), line.find(']', at) - at -
                                                                                        interpreter.size()));
        if (const std::size_t at = line.find(needed); at != std::string::npos && line.find("(NEEDED)") != std::string::npos)
            problems.push_back("needs " + line.substr(at + needed.size(), line.find(']', at) - at - needed.size()));
    }
    const ProcessResult versions = run_process({readelf, "-W", "-V", "--dyn-syms", path}, 30s);
    if (versions.status != 0) return {"readelf failed: " + versions.err};
    const std::string& text = versions.out;
    for (const std::string library : {"GLIBC", "GLIBCXX", "CXXABI", "GCC"}) {
        const std::string prefix = library + "_";
        for (std::size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
            if (at > 0 && (std::isalnum(static_cast<unsigned char>(text[at - 1])) || text[at - 1] == '_')) continue;
            std::size_t end = at + prefix.size();
            while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '.')) ++end;
            const std::string version = text.substr(at + prefix.size(), end - at - prefix.size());
            if (version.empty()) continue;
            if (library == "GLIBC" && version != "PRIVATE" && !newer_than(version, "2.27")) continue;
            const std::string problem = "symbol version " + library + "_" + version;
            if (std::find(problems.begin(), problems.end(), problem) == problems.end()) problems.push_back(problem);
        }
    }
    return problems;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += item + "\n";
    return text;
}

}  // namespace

TEST(PortableBinary, VersionsCompareByNumber) {
    EXPECT_TRUE(newer_than("2.34", "2.27"));
    EXPECT_TRUE(newer_than("2.28", "2.27"));
    EXPECT_TRUE(newer_than("3", "2.27"));
    EXPECT_FALSE(newer_than("2.27", "2.27"));
    EXPECT_FALSE(newer_than("2.3.4", "2.27"));
    EXPECT_FALSE(newer_than("2.2.5", "2.27"));
}

TEST(PortableBinary, TheMinerNeedsNoSharedLibrary) {
    if (!fs::exists(readelf)) GTEST_SKIP() << "no readelf (binutils) on this machine";
    if (!QXT_STATIC_BINARY)
        GTEST_SKIP() << "a sanitizer or fuzz build links dynamically by design; the release build is checked";
    const std::vector<std::string> problems = portability_problems(QXT_BINARY);
    EXPECT_TRUE(problems.empty()) << joined(problems);
    // And it runs: --help needs nothing but the kernel.
    const ProcessResult help = run_process({QXT_BINARY, "--help"}, 30s);
    EXPECT_EQ(help.status, 0);
}

TEST(PortableBinary, TheCheckCatchesADynamicallyLinkedProgram) {
    if (!fs::exists(readelf)) GTEST_SKIP() << "no readelf (binutils) on this machine";
    // This test program links libstdc++ and glibc of the build machine.
    const std::vector<std::string> problems = portability_problems(fs::read_symlink("/proc/self/exe").string());
    const std::string text = joined(problems);
    EXPECT_NE(text.find("interpreter /lib64/ld-linux-x86-64.so.2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("needs libstdc++.so.6\n"), std::string::npos) << text;
    EXPECT_NE(text.find("needs libc.so.6\n"), std::string::npos) << text;
    EXPECT_NE(text.find("symbol version GLIBCXX_3.4"), std::string::npos) << text;
}

TEST(PortableBinary, TheMinerIsStaticPieWithRelroAndAStackProtector) {
    if (!fs::exists(readelf) || !fs::exists("/usr/bin/objdump")) GTEST_SKIP() << "no binutils on this machine";
    if (!QXT_STATIC_BINARY || !QXT_HARDEN) GTEST_SKIP() << "only the hardened static release binary is checked";
    const std::string headers = run_process({readelf, "-W", "-h", "-l", "-d", QXT_BINARY}, 30s).out;
    EXPECT_NE(headers.find("Type:                              DYN"), std::string::npos) << headers;
    EXPECT_EQ(headers.find("INTERP"), std::string::npos) << headers;
    EXPECT_NE(headers.find("GNU_RELRO"), std::string::npos) << headers;
    EXPECT_NE(headers.find("BIND_NOW"), std::string::npos) << headers;

    // The C library brings its own protected code: look into one of ours,
    // which keeps a text buffer on its stack and fills it with snprintf.
    std::string symbol;
    for (const std::string& line : split_lines(run_process({readelf, "-W", "-s", QXT_BINARY}, 30s).out))
        if (line.find("format_stats_json") != std::string::npos && line.find(" FUNC ") != std::string::npos)
            symbol = line.substr(line.find_last_of(' ') + 1);
    ASSERT_NE(symbol, "");
    const std::string code =
        run_process({"/usr/bin/objdump", "-d", "--disassemble=" + symbol, QXT_BINARY}, 60s).out;
    EXPECT_NE(code.find("<__stack_chk_fail>"), std::string::npos) << code;
    EXPECT_NE(code.find("snprintf_chk>"), std::string::npos) << code;  // glibc names it ___snprintf_chk
}
