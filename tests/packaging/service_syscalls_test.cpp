// The unit's system call filter against the miner at work: every system call
// that strace counts in a short loopback mining run of the static binary
// (status server scraped, statistics and log files written) is one that the
// unit's SystemCallFilter= lines allow, as systemd expands their groups.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/packaging/util.hpp"
#include "tests/support/http_client.hpp"
#include "tests/support/process.hpp"
#include "tests/support/test_pool.hpp"

using namespace nolu::qxt::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const char* const analyze = "/usr/bin/systemd-analyze";
const char* const strace = "/usr/bin/strace";
using Names = std::set<std::string>;
using Groups = std::map<std::string, Names>;

void expand(const Groups& groups, const std::string& name, Names& out) {
    const auto group = groups.find(name);
    if (group == groups.end()) out.insert(name);
    else for (const std::string& member : group->second) expand(groups, member, out);
}

// What the unit's SystemCallFilter= lines allow: the allow list, less every ~ list.
Names allowed_by_unit() {
    Groups groups;  // `systemd-analyze syscall-filter`: "@group" lines, members indented below
    std::string group;
    for (const std::string& line : split_lines(run_process({analyze, "syscall-filter", "--no-pager"}, 30s).out)) {
        if (line.rfind("@", 0) == 0) group = line;
        else if (line.rfind("    ", 0) == 0 && line.find('#') == std::string::npos)
            groups[group].insert(line.substr(line.find_first_not_of(' ')));
    }
    Names allowed, denied;
    for (const std::string& line : split_lines(read_file(fs::path(QXT_DEBIAN_DIR) / "korven-qxt.service"))) {
        if (line.rfind("SystemCallFilter=", 0) != 0) continue;
        const bool deny = line[17] == '~';
        std::istringstream words(line.substr(deny ? 18 : 17));
        for (std::string word; words >> word;) expand(groups, word, deny ? denied : allowed);
    }
    for (const std::string& name : denied) allowed.erase(name);
    return allowed;
}

// The system calls of an strace -c table: the last column between its two rules.
Names counted(const std::string& summary) {
    Names names;
    int rules = 0;
    for (const std::string& line : split_lines(summary)) {
        if (line.rfind("------", 0) == 0) ++rules;
        else if (rules == 1) names.insert(line.substr(line.find_last_of(' ') + 1));
    }
    return names;
}

}  // namespace

TEST(ServiceSyscalls, AMiningRunNeedsNothingTheFilterDenies) {
    if (!fs::exists(analyze) || !fs::exists(strace)) GTEST_SKIP() << "needs systemd-analyze and strace (make test-deps)";
    const Names allowed = allowed_by_unit();
    ASSERT_TRUE(allowed.count("read") == 1 && allowed.count("reboot") == 0);

    ScratchDir dir("syscalls");
    TestPool pool(QXT_POOL_BINARY, dir.path(), {"--target", std::string(64, 'f'), "--job-every", "0"});
    ASSERT_GT(pool.port(), 0);
    const std::string summary = (dir.path() / "strace.txt").string(), stats = (dir.path() / "stats.json").string();
    Process traced({strace, "-f", "-c", "-o", summary, QXT_BINARY, "--no-color", "--no-self-test", "-o",
                    pool.endpoint(), "-u", "QXaddr", "-t", "1", "--http", "127.0.0.1:0", "--stats-file", stats,
                    "--log-file", (dir.path() / "miner.log").string()});
    // The first speed line comes ten seconds into mining, after the login (whose line goes out as a
    // share's would); the statistics file is written just after it.
    ASSERT_TRUE(traced.wait_for_output(" speed ", 60s)) << traced.out();
    const std::string out = traced.out();
    const std::size_t at = out.find("http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(http_get(static_cast<std::uint16_t>(std::stoi(out.substr(at + 17))), "/metrics").status, 200);
    for (int i = 0; i < 50 && !fs::exists(stats); ++i) std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(fs::exists(stats));
    // strace holds fatal signals back from itself: the miner (its one child) gets the SIGINT.
    pid_t miner = -1;
    const std::string pid = std::to_string(traced.pid());
    std::ifstream("/proc/" + pid + "/task/" + pid + "/children") >> miner;
    ASSERT_GT(miner, 0);
    ::kill(miner, SIGINT);
    EXPECT_EQ(traced.wait(30s).status, 0);

    const std::string table = read_file(summary);
    const Names made = counted(table);
    EXPECT_TRUE(made.count("mmap") == 1 && made.count("accept4") == 1 && made.count("rename") == 1) << table;
    std::string denied;
    for (const std::string& name : made)
        if (name != "total" && allowed.count(name) == 0) denied += name + " ";
    EXPECT_EQ(denied, "") << table;
}
