// Replacing a file whole on a shared machine: no fixed temporary name to
// plant a link at, the old mode kept (0600 for a new file), a link at the
// path replaced or followed as asked, and a failed write that leaves the old
// file and no temporary one.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/replace_file.hpp"

using namespace nolu::qxt;
namespace fs = std::filesystem;

namespace {

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::size_t entries(const fs::path& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

struct Folder {
    fs::path path = fs::temp_directory_path() / ("qxt-replace-" + std::to_string(getpid()) + "-" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Folder() {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~Folder() { fs::remove_all(path); }
};

}  // namespace

TEST(ReplaceFile, NeverWritesThroughALinkItDidNotChoose) {
    Folder dir;
    const fs::path victim = dir.path / "victim", stats = dir.path / "stats.json";
    std::ofstream(victim) << "precious\n";
    fs::create_symlink(victim, stats.string() + ".tmp");  // the old fixed temporary name
    ASSERT_TRUE(replace_file(stats, "one\n"));
    EXPECT_EQ(read(stats), "one\n");
    EXPECT_EQ(read(victim), "precious\n");

    // A link at the path itself is replaced by the file, not written through.
    fs::remove(stats);
    fs::create_symlink(victim, stats);
    ASSERT_TRUE(replace_file(stats, "two\n"));
    EXPECT_FALSE(fs::is_symlink(stats));
    EXPECT_EQ(read(stats), "two\n");
    EXPECT_EQ(read(victim), "precious\n");
    EXPECT_EQ(mode_of(stats), 0600u);
    EXPECT_EQ(entries(dir.path), 3u);  // victim, its link, stats.json: no temporary left
}

TEST(ReplaceFile, KeepsTheModeOfTheOldFileAndFollowsAChosenLink) {
    Folder dir;
    const fs::path fresh = dir.path / "fresh.json", shared = dir.path / "shared.json";
    const mode_t mask = umask(022);
    ASSERT_TRUE(replace_file(fresh, "{}\n"));
    EXPECT_EQ(mode_of(fresh), 0600u);  // not 0644 from the umask
    std::ofstream(shared) << "{}\n";
    fs::permissions(shared, fs::perms(04640));
    ASSERT_TRUE(replace_file(shared, "{\"a\":1}\n"));
    EXPECT_EQ(mode_of(shared), 0640u);  // the set-user-id bit is not carried over
    umask(mask);

    // A settings file linked to the real one: the real one is updated, 0600 kept, the link stays.
    const fs::path real = dir.path / "real.json", link = dir.path / "rig.json";
    std::ofstream(real) << "{\"http-token\":\"secret\"}\n";
    fs::permissions(real, fs::perms(0600));
    fs::create_symlink(real, link);
    ASSERT_TRUE(replace_file(link, "{\"threads\":2}\n", LinkAtPath::follow));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read(real), "{\"threads\":2}\n");
    EXPECT_EQ(mode_of(real), 0600u);
}

TEST(ReplaceFile, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    Folder dir;
    const fs::path path = dir.path / "stats.json";
    ASSERT_TRUE(replace_file(path, "good\n"));
    // A full disk, as a file size limit: the write fails (EFBIG instead of a signal).
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 4;
    setrlimit(RLIMIT_FSIZE, &small);
    const Status full = replace_file(path, "never seen\n");
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    ASSERT_FALSE(full);
    EXPECT_NE(full.error().message.find("cannot write " + dir.path.string() + "/.stats.json."), std::string::npos)
        << full.error().message;
    EXPECT_EQ(read(path), "good\n");
    EXPECT_EQ(entries(dir.path), 1u);

    EXPECT_FALSE(replace_file(dir.path / "missing" / "x.json", "x\n"));
    fs::create_symlink(dir.path / "nowhere", dir.path / "dangling");
    EXPECT_FALSE(replace_file(dir.path / "dangling", "x\n", LinkAtPath::follow));
}
