// Replacing a file whole on a shared machine (the stats file and the tuner's
// link-following case are tested where they are used): the old mode kept,
// a link at the path replaced, and a failed write that leaves the old file
// and no temporary one.
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
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

}  // namespace

TEST(ReplaceFile, KeepsTheModeReplacesALinkAndFailsCleanly) {
    const fs::path dir = fs::temp_directory_path() / ("qxt-replace-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path victim = dir / "victim", stats = dir / "stats.json";
    std::ofstream(victim) << "precious\n";
    fs::permissions(victim, fs::perms(04640));
    fs::create_symlink(victim, stats);
    ASSERT_TRUE(replace_file(stats, "one\n"));  // the link goes, the file it named stays
    EXPECT_EQ(read(stats), "one\n");
    EXPECT_EQ(mode_of(stats), 0600u);
    EXPECT_EQ(read(victim), "precious\n");
    ASSERT_TRUE(replace_file(victim, "two\n"));
    EXPECT_EQ(mode_of(victim), 0640u);  // kept, less the set-user-id bit

    // A full disk, as a file size limit (EFBIG instead of a signal): the old file stays, no temporary.
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 2;
    setrlimit(RLIMIT_FSIZE, &small);
    const Status full = replace_file(stats, "never seen\n");
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().message.rfind("cannot write " + dir.string() + "/.stats.json.", 0), 0u);
    EXPECT_EQ(read(stats), "one\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    fs::remove_all(dir);
}
