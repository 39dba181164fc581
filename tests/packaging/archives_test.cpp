// The rig packages built from this build's binary: the HiveOS tarball's
// layout, the Debian package's files, control fields, documents and lintian's
// verdict, and (as root) an install, removal and purge of the Debian package
// on this machine with its service in place.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "tests/packaging/util.hpp"

using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path source_dir = QXT_SOURCE_DIR;
const std::string version = QXT_VERSION;
using Texts = std::vector<std::string>;

ProcessResult run(const Texts& argv, std::chrono::milliseconds limit = 120s) {
    return run_process(argv, limit);
}

bool executable(const fs::path& p) {
    return (fs::status(p).permissions() & fs::perms::owner_exec) != fs::perms::none;
}

std::string usage_line(const std::string& program) {
    return "usage: " + program + " -u <QXT address> [options]\n";
}

// cpack in a folder of its own; the path of the one .deb it wrote, or "".
std::string build_deb(const ScratchDir& dir) {
    const ProcessResult r = run({QXT_CPACK, "-G", "DEB", "--config", QXT_CPACK_CONFIG, "-B", dir.path().string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string deb;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().extension() == ".deb") {
            EXPECT_EQ(deb, "") << "more than one package";
            deb = entry.path().string();
        }
    return deb;
}

}  // namespace

TEST(HiveosTarball, OneFolderWithTheMinerTheScriptsAndTheDocs) {
    ScratchDir out("tarball");
    const ProcessResult made = run({QXT_CMAKE, "-DQXT_SOURCE_DIR=" + source_dir.string(), "-DQXT_BINARY=" QXT_BINARY,
                                    "-DQXT_VERSION=" + version, "-DQXT_OUT_DIR=" + out.path().string(), "-P",
                                    (source_dir / "packaging/hiveos-tarball.cmake").string()});
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    const std::string tarball = out / ("korven-qxt-" + version + ".tar.gz");
    Texts left;
    for (const auto& entry : fs::directory_iterator(out.path())) left.push_back(entry.path().string());
    EXPECT_EQ(left, Texts{tarball});  // no staging folder left behind

    const ProcessResult listing = run({"/bin/tar", "-tzf", tarball});
    ASSERT_EQ(listing.status, 0) << listing.err;
    Texts names = split_lines(listing.out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Texts{"korven-qxt/", "korven-qxt/README.md", "korven-qxt/h-config.sh",
                            "korven-qxt/h-manifest.conf", "korven-qxt/h-run.sh", "korven-qxt/h-stats.sh",
                            "korven-qxt/korven-qxt", "korven-qxt/vectors.txt"}));

    ASSERT_EQ(run({"/bin/tar", "-xzf", tarball, "-C", out.path().string()}).status, 0);
    const fs::path folder = out.path() / "korven-qxt";
    for (const char* name : {"korven-qxt", "h-config.sh", "h-run.sh", "h-stats.sh"})
        EXPECT_TRUE(executable(folder / name)) << name;
    for (const char* name : {"h-config.sh", "h-run.sh", "h-stats.sh"})
        EXPECT_EQ(read_file(folder / name), read_file(source_dir / "packaging/hiveos" / name)) << name;
    EXPECT_EQ(read_file(folder / "README.md"), read_file(source_dir / "README.md"));
    EXPECT_EQ(read_file(folder / "vectors.txt"), read_file(source_dir / "tools/vectors.txt"));
    const ProcessResult manifest = run_bash(R"(. "$1/h-manifest.conf" && echo "$CUSTOM_NAME $CUSTOM_VERSION")",
                                            {folder.string()});
    EXPECT_EQ(manifest.out, "korven-qxt " + version + "\n");

    const std::string miner = (folder / "korven-qxt").string();
    const ProcessResult help = run({miner, "--help"}, 30s);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(usage_line(miner), 0), 0u) << help.out;
}

TEST(DebianPackage, FilesAndControlFields) {
    if (!fs::exists("/usr/bin/dpkg-deb")) GTEST_SKIP() << "no dpkg-deb on this machine";
    ScratchDir dir("deb");
    const std::string deb = build_deb(dir);
    ASSERT_NE(deb, "");
    EXPECT_EQ(fs::path(deb).filename(), "korven-qxt_" + version + "_amd64.deb");

    const ProcessResult contents = run({"/usr/bin/dpkg-deb", "-c", deb});
    ASSERT_EQ(contents.status, 0) << contents.err;
    Texts files;  // "mode owner path" of every file that is not a folder
    for (const std::string& line : split_lines(contents.out)) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        if (mode.rfind("d", 0) != 0) files.push_back(mode + " " + owner + " " + path);
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (Texts{"-rw-r----- root/root ./etc/korven-qxt/config.json",
                            "-rw-r--r-- root/root ./lib/systemd/system/korven-qxt.service",
                            "-rw-r--r-- root/root ./usr/share/doc/korven-qxt/README.md",
                            "-rw-r--r-- root/root ./usr/share/doc/korven-qxt/changelog.gz",
                            "-rw-r--r-- root/root ./usr/share/doc/korven-qxt/copyright",
                            "-rw-r--r-- root/root ./usr/share/doc/korven-qxt/vectors.txt",
                            "-rw-r--r-- root/root ./usr/share/lintian/overrides/korven-qxt",
                            "-rw-r--r-- root/root ./usr/share/man/man1/korven-qxt.1.gz",
                            "-rwxr-xr-x root/root ./usr/bin/korven-qxt"}));

    const ProcessResult fields = run({"/usr/bin/dpkg-deb", "-f", deb, "Package", "Version", "Architecture"});
    EXPECT_EQ(fields.out, "Package: korven-qxt\nVersion: " + version + "\nArchitecture: amd64\n");
    // The binary is static: the package depends on nothing the binary would need at run time.
    const ProcessResult control = run({"/usr/bin/dpkg-deb", "-f", deb});
    EXPECT_EQ(control.out.find("Depends:"), std::string::npos) << control.out;
    const ProcessResult conffiles = run({"/usr/bin/dpkg-deb", "-I", deb, "conffiles"});
    EXPECT_EQ(conffiles.out, "/etc/korven-qxt/config.json\n");
    const ProcessResult maintainer = run({"/usr/bin/dpkg-deb", "-f", deb, "Maintainer", "Description"});
    EXPECT_NE(maintainer.out.find("Maintainer: "), std::string::npos);
    EXPECT_NE(maintainer.out.find("Description: CPU miner for the QXT coin"), std::string::npos) << maintainer.out;
}

TEST(DebianPackage, CopyrightFromTheLicenseAndAManPageFromTheUsageText) {
    if (!fs::exists("/usr/bin/dpkg-deb")) GTEST_SKIP() << "no dpkg-deb on this machine";
    ScratchDir dir("deb-docs");
    const std::string deb = build_deb(dir);
    ASSERT_NE(deb, "");
    ASSERT_EQ(run({"/usr/bin/dpkg-deb", "-x", deb, dir.path().string()}).status, 0);
    const std::string copyright = read_file(dir.path() / "usr/share/doc/korven-qxt/copyright");
    EXPECT_EQ(copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0), 0u);
    EXPECT_NE(copyright.find("\nFiles: *\nCopyright: 2026 nolu\nLicense: Expat\n Permission is hereby granted"),
              std::string::npos)
        << copyright;
    EXPECT_NE(copyright.find("\n .\n THE SOFTWARE IS PROVIDED \"AS IS\""), std::string::npos) << copyright;

    const ProcessResult page = run({"/bin/gzip", "-dc", (dir.path() / "usr/share/man/man1/korven-qxt.1.gz").string()});
    ASSERT_EQ(page.status, 0);
    EXPECT_NE(page.out.find(".TH KORVEN-QXT \"1\""), std::string::npos);
    // Every option of the usage text, as help2man writes it.
    for (const char* option : {"\\-\\-pool", "\\-\\-config", "\\-\\-log\\-file", "\\-\\-version", "\\-\\-side"})
        EXPECT_NE(page.out.find(option), std::string::npos) << option;
    EXPECT_NE(page.out.find("\n.I /etc/korven-qxt/config.json\n"), std::string::npos);
}

TEST(DebianPackage, LintianFindsNoErrorOrWarning) {
    if (!fs::exists("/usr/bin/lintian")) GTEST_SKIP() << "no lintian on this machine (apt-get install lintian)";
    if (!QXT_STATIC_BINARY) GTEST_SKIP() << "a sanitizer build's package is not the one shipped (dynamic binary)";
    ScratchDir dir("deb-lintian");
    const std::string deb = build_deb(dir);
    ASSERT_NE(deb, "");
    const ProcessResult r = run({"/usr/bin/lintian", "--fail-on", "error,warning", deb}, 300s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("E: "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("W: "), std::string::npos) << r.out;
}

TEST(DebianPackage, InstallsARunningBinaryAndRemovesCleanly) {
    if (geteuid() != 0) GTEST_SKIP() << "installing with dpkg -i needs root: not run";
    if (!fs::exists("/usr/bin/dpkg")) GTEST_SKIP() << "no dpkg on this machine";
    const ProcessResult status = run({"/usr/bin/dpkg-query", "-W", "-f=${Status}", "korven-qxt"});
    if (status.out.find("ok installed") != std::string::npos)
        GTEST_SKIP() << "korven-qxt is installed on this machine already: left alone";
    ScratchDir dir("deb-install");
    const std::string deb = build_deb(dir);
    ASSERT_NE(deb, "");

    // dpkg waits for nobody: retry while another package operation holds its lock.
    ProcessResult installed;
    for (int attempt = 0; attempt < 20; ++attempt) {
        installed = run({"/usr/bin/dpkg", "-i", deb});
        if (installed.status == 0 || installed.err.find("lock") == std::string::npos) break;
        std::this_thread::sleep_for(3s);
    }
    struct Purge {
        ~Purge() { run_process({"/usr/bin/dpkg", "-P", "korven-qxt"}, 120s); }
    } purge_at_exit;
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;

    const ProcessResult help = run({"/usr/bin/korven-qxt", "--help"}, 30s);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(usage_line("/usr/bin/korven-qxt"), 0), 0u) << help.out;
    EXPECT_EQ(read_file("/usr/share/doc/korven-qxt/vectors.txt"), read_file(source_dir / "tools/vectors.txt"));
    EXPECT_TRUE(fs::exists("/usr/share/man/man1/korven-qxt.1.gz"));

    // The service is in place, known to dpkg's conffiles, neither enabled nor started.
    const std::string unit = "/lib/systemd/system/korven-qxt.service";
    EXPECT_EQ(read_file(unit), read_file(source_dir / "packaging/debian/korven-qxt.service"));
    EXPECT_EQ(read_file("/etc/korven-qxt/config.json"), read_file(source_dir / "packaging/debian/config.json"));
    const ProcessResult conffiles = run({"/usr/bin/dpkg-query", "-W", "-f=${Conffiles}", "korven-qxt"});
    EXPECT_NE(conffiles.out.find("/etc/korven-qxt/config.json "), std::string::npos) << conffiles.out;
    EXPECT_FALSE(fs::exists("/etc/systemd/system/multi-user.target.wants/korven-qxt.service"));
    if (fs::exists("/run/systemd/system")) {
        const ProcessResult active = run({"/bin/systemctl", "is-active", "korven-qxt"});
        EXPECT_EQ(active.out, "inactive\n");
    }
    if (fs::exists("/usr/bin/systemd-analyze")) {
        const ProcessResult verified = run({"/usr/bin/systemd-analyze", "verify", "--man=no", unit});
        EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
        EXPECT_EQ(verified.out + verified.err, "");
    }
    // What the service would run: it refuses until an address is in the file.
    const ProcessResult service = run({"/usr/bin/korven-qxt", "--config", "/etc/korven-qxt/config.json"}, 60s);
    EXPECT_EQ(service.status, 2);
    EXPECT_EQ(service.err, "a QXT payout address is required: -u <address>\n");

    // Removal keeps the owner's settings (a conffile) until a purge.
    const ProcessResult removed = run({"/usr/bin/dpkg", "-r", "korven-qxt"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_FALSE(fs::exists("/usr/bin/korven-qxt"));
    EXPECT_FALSE(fs::exists("/usr/share/doc/korven-qxt"));
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_TRUE(fs::exists("/etc/korven-qxt/config.json"));
    const ProcessResult purged = run({"/usr/bin/dpkg", "-P", "korven-qxt"});
    EXPECT_EQ(purged.status, 0) << purged.err;
    EXPECT_FALSE(fs::exists("/etc/korven-qxt"));
}
