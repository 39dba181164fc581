// The release binary inside a Debian 11 (bullseye, glibc 2.31) root made with
// debootstrap, run with chroot: --help, --verify of one record, and short
// mining runs against the test pool on this machine's loopback (the chroot
// shares the network), through the host name localhost and through 127.0.0.1.
// The root is made once per machine and kept in the tests' cache folder
// (outside any build folder); an attempt that was cut short is cleared and
// made again. Without root rights, debootstrap or a
// reachable Debian mirror the tests say so and skip.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/packaging/util.hpp"
#include "tests/support/test_pool.hpp"

using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path root = QXT_BULLSEYE_ROOT;
const fs::path partial = root.string() + ".partial";
const fs::path complete_mark = root / ".qxt-root-complete";
const char* const debootstrap = "/usr/sbin/debootstrap";
const char* const chroot_program = "/usr/sbin/chroot";
const char* const miner_in_root = "/usr/local/bin/korven-qxt";

// Unmounts what an interrupted debootstrap left mounted under dir (deepest
// first), then removes dir without crossing into another file system.
void remove_tree(const fs::path& dir) {
    if (!fs::exists(dir)) return;
    std::vector<std::string> mounts;
    std::ifstream table("/proc/self/mounts");
    for (std::string device, point, rest; table >> device >> point && std::getline(table, rest);)
        if (point.rfind(dir.string() + "/", 0) == 0) mounts.push_back(point);
    std::sort(mounts.begin(), mounts.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    for (const std::string& point : mounts) run_process({"/bin/umount", "-l", point}, 30s);
    run_process({"/bin/rm", "-rf", "--one-file-system", dir.string()}, 300s);
}

// Makes the root unless it is there; returns why it cannot be had, or "".
std::string make_root() {
    if (fs::exists(complete_mark)) return "";
    remove_tree(root);
    remove_tree(partial);
    fs::create_directories(partial.parent_path());
    const ProcessResult r = run_process(
        {debootstrap, "--variant=minbase", "bullseye", partial.string(), "http://deb.debian.org/debian"}, 900s);
    if (r.status != 0) {
        remove_tree(partial);
        const std::string log = r.out + r.err;
        return "debootstrap could not make the bullseye root (status " + std::to_string(r.status) + "): " +
               log.substr(log.size() > 600 ? log.size() - 600 : 0);
    }
    write_file(partial / ".qxt-root-complete", "debootstrap --variant=minbase bullseye\n");
    fs::rename(partial, root);
    return "";
}

// Skips the test (with its reason) unless the root is ready with this build's binary in it.
#define QXT_NEED_ROOT()                                                                                \
    do {                                                                                               \
        if (geteuid() != 0) GTEST_SKIP() << "debootstrap and chroot need root: not run";               \
        if (!fs::exists(debootstrap)) GTEST_SKIP() << "no debootstrap (apt-get install debootstrap)";  \
        if (const std::string why = make_root(); !why.empty()) GTEST_SKIP() << why;                    \
        fs::copy_file(QXT_BINARY, root / "usr/local/bin/korven-qxt", fs::copy_options::overwrite_existing); \
    } while (false)

std::vector<std::string> in_root(std::vector<std::string> args) {
    args.insert(args.begin(), {chroot_program, root.string(), miner_in_root});
    return args;
}

// A self-signed certificate for 127.0.0.1 in dir (made with the openssl
// tool) and its SHA-256 fingerprint; "" when it could not be made.
std::string make_certificate(const fs::path& dir) {
    const std::string d = dir.string() + "/";
    const ProcessResult made = run_process({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                            "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=pool",
                                            "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", d + "key.pem",
                                            "-out", d + "cert.pem"},
                                           30s);
    if (made.status != 0) return "";
    const ProcessResult fp =
        run_process({"/usr/bin/openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", d + "cert.pem"}, 30s);
    const std::size_t equals = fp.out.find('=');
    if (fp.status != 0 || equals == std::string::npos) return "";
    std::string digits;
    for (const char c : fp.out.substr(equals + 1))
        if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(static_cast<char>(std::tolower(c)));
    return digits;
}

// Mines in the root against the test pool through host until the first
// accepted share, then stops it with SIGINT; with tls, over TLS with the
// pool's self-signed certificate pinned.
void mine_through(const std::string& host, bool tls = false) {
    ScratchDir dir("bullseye-pool");
    std::vector<std::string> pool_args = {"--target", std::string(64, 'f'), "--job-every", "0"};
    const std::string fingerprint = tls ? make_certificate(dir.path()) : "";
    if (tls) {
        ASSERT_EQ(fingerprint.size(), 64u) << "the openssl tool could not make a certificate";
        pool_args.insert(pool_args.end(), {"--tls-cert", (dir.path() / "cert.pem").string(), "--tls-key",
                                           (dir.path() / "key.pem").string()});
    }
    TestPool pool(QXT_POOL_BINARY, dir.path(), pool_args);
    ASSERT_GT(pool.port(), 0) << pool.process().out();
    const std::string endpoint = host + ":" + std::to_string(pool.port());
    std::vector<std::string> args = {"--no-color", "-o", (tls ? "stratum+ssl://" : "") + endpoint,
                                     "-u", "QXbullseye", "-w", "bullseye", "-t", "1", "--lanes", "1"};
    if (tls) args.insert(args.end(), {"--tls-fingerprint", fingerprint});
    Process m(in_root(args));
    ASSERT_TRUE(m.wait_for_output(" share accepted (1/0)\n", 90s)) << m.out();
    const std::string connected = tls ? " over TLSv1.3, certificate SHA-256 " + fingerprint : "";
    EXPECT_NE(m.out().find(" net   connected to " + endpoint + connected + "\n"), std::string::npos) << m.out();
    EXPECT_TRUE(pool.process().wait_for_output("verified OK", 60s)) << pool.process().out();
    m.signal(SIGINT);
    const ProcessResult r = m.wait(10s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string last = "\n\n shutdown requested — clean exit\n";
    ASSERT_GE(r.out.size(), last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
}

}  // namespace

TEST(Bullseye, TheRootHasGlibc231) {
    QXT_NEED_ROOT();
    const ProcessResult r = run_process({chroot_program, root.string(), "/usr/bin/ldd", "--version"}, 30s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" 2.31\n"), std::string::npos) << r.out;
}

TEST(Bullseye, HelpAndVersion) {
    QXT_NEED_ROOT();
    ProcessResult r = run_process(in_root({"--help"}), 30s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(std::string("usage: ") + miner_in_root + " -u <QXT address> [options]\n", 0), 0u) << r.out;
    r = run_process(in_root({"--version"}), 30s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("korven-qxt v" QXT_VERSION "\nengines: ", 0), 0u) << r.out;
}

TEST(Bullseye, VerifiesOneRecord) {
    QXT_NEED_ROOT();
    std::string record;
    std::getline(std::ifstream(QXT_VECTORS), record);
    write_file(root / "tmp/one-record.txt", record + "\n");
    const ProcessResult r = run_process(in_root({"--no-color", "--verify", "/tmp/one-record.txt"}), 120s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const bool passed = r.out.find(" check verify 1/1 OK\n") != std::string::npos ||
                        r.out.find(" check verify 2/2 OK\n") != std::string::npos;
    EXPECT_TRUE(passed) << r.out;
}

TEST(Bullseye, MinesThroughTheHostNameLocalhost) {
    QXT_NEED_ROOT();
    // A debootstrap root has no /etc/hosts: localhost must still mean loopback.
    mine_through("localhost");
}

TEST(Bullseye, MinesThroughANumericAddress) {
    QXT_NEED_ROOT();
    mine_through("127.0.0.1");
}

TEST(Bullseye, MinesOverTlsThroughANameOfTheHostsFile) {
    QXT_NEED_ROOT();
    // c-ares reads the root's hosts file itself (no name-service module).
    const fs::path hosts = root / "etc/hosts";
    const bool had_hosts = fs::exists(hosts);
    const std::string before = had_hosts ? read_file(hosts) : "";
    write_file(hosts, before + "127.0.0.1 pool.bullseye.test\n");
    mine_through("pool.bullseye.test", true);
    if (had_hosts) {
        write_file(hosts, before);
    } else {
        fs::remove(hosts);
    }
}

TEST(Bullseye, StatusServerOnTheHostNameLocalhost) {
    QXT_NEED_ROOT();
    // No hosts file and no name-service modules of this build's C library:
    // the status server's address goes through the miner's own resolver too.
    Process m(in_root({"--no-color", "--bench", "60", "-t", "1", "--lanes", "1", "--no-self-test", "--http", "localhost:0"}));
    ASSERT_TRUE(m.wait_for_output("/summary", 30s)) << m.out();
    EXPECT_NE(m.out().find(" http  metrics at http://"), std::string::npos) << m.out();
    m.signal(SIGINT);
    const ProcessResult r = m.wait(10s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}
