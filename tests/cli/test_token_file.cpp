// The status server's token from a file: only a file its owner alone can
// read is taken (status 2 otherwise, before anything is served).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cli/options.hpp"
#include "cli/token_file.hpp"

using namespace nolu::qxt;
namespace fs = std::filesystem;

namespace {

fs::path token_file(const std::string& name, const std::string& text, mode_t mode) {
    const fs::path path = fs::temp_directory_path() / ("qxt-token-" + std::to_string(getpid()) + "-" + name);
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
}

}  // namespace

TEST(TokenFile, OnlyAFileItsOwnerAloneReadsGivesTheToken) {
    const fs::path own = token_file("own", "  s3cret.token \nsecond line\n", 0600);
    EXPECT_EQ(*read_token_file(own), "s3cret.token");
    const fs::path empty = token_file("empty", "\n", 0400);
    EXPECT_EQ(*read_token_file(empty), "");
    const fs::path shared = token_file("shared", "t\n", 0604);
    const Expected<std::string> refused_file = read_token_file(shared);
    ASSERT_FALSE(refused_file);
    EXPECT_EQ(refused_file.error().message,
              "--http-token-file " + shared.string() + ": its group or others may read it: chmod 600 " + shared.string());
    EXPECT_FALSE(read_token_file("/tmp"));

    // At start (and at a reload): a shared file stops the miner with status 2; the owner's gives the token.
    const char* with_shared[] = {"k", "--http", "127.0.0.1:0", "--http-token-file", shared.c_str()};
    const Outcome<Options> refused = parse_options(5, with_shared);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().status, 2);
    const char* with_own[] = {"k", "--http", "127.0.0.1:0", "--http-token-file", own.c_str()};
    const Outcome<Options> taken = parse_options(5, with_own);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->http_token, "s3cret.token");
    fs::remove(shared);
    fs::remove(own);
    fs::remove(empty);
}
