// The unit's system call filter against the miner at work: every system call
// a short loopback mining run of the static binary makes (with the status
// server scraped, the statistics file and the log file written), as counted
// by strace, is one the unit's SystemCallFilter= allows, as systemd expands
// its groups.
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

// Every group of `systemd-analyze syscall-filter` with its members (groups included).
std::map<std::string, Names> filter_groups() {
    std::map<std::string, Names> groups;
    std::string group;
    for (const std::string& line : split_lines(run_process({analyze, "syscall-filter", "--no-pager"}, 30s).out)) {
        if (line.rfind("@", 0) == 0) group = line;
        else if (line.rfind("    ", 0) == 0 && line.find('#') == std::string::npos && !group.empty())
            groups[group].insert(line.substr(line.find_first_not_of(' ')));
    }
    return groups;
}

void expand(const std::map<std::string, Names>& groups, const std::string& name, Names& out) {
    if (name[0] != '@') {
        out.insert(name);
        return;
    }
    const auto it = groups.find(name);
    EXPECT_NE(it, groups.end()) << name;
    if (it != groups.end())
        for (const std::string& member : it->second) expand(groups, member, out);
}

// What the unit's SystemCallFilter= lines allow: the allow list, less every ~ list.
Names allowed_by_unit() {
    const auto groups = filter_groups();
    Names allowed, denied;
    for (const std::string& line : split_lines(read_file(fs::path(QXT_DEBIAN_DIR) / "korven-qxt.service"))) {
        const std::string key = "SystemCallFilter=";
        if (line.rfind(key, 0) != 0) continue;
        std::string list = line.substr(key.size());
        Names& into = list[0] == '~' ? denied : allowed;
        std::istringstream words(list[0] == '~' ? list.substr(1) : list);
        for (std::string word; words >> word;) expand(groups, word, into);
    }
    for (const std::string& name : denied) allowed.erase(name);
    return allowed;
}

// The system calls of an strace -c summary (its last column).
Names counted(const std::string& summary) {
    Names names;
    int rules = 0;
    for (const std::string& line : split_lines(summary)) {
        if (line.rfind("------", 0) == 0) {
            ++rules;
            continue;
        }
        if (rules != 1) continue;
        const std::size_t last = line.find_last_of(' ');
        if (last != std::string::npos) names.insert(line.substr(last + 1));
    }
    return names;
}

// The one child of the process pid (strace's tracee).
pid_t child_of(pid_t pid) {
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child = -1;
    children >> child;
    return child;
}

}  // namespace

TEST(ServiceSyscalls, AMiningRunNeedsNothingTheFilterDenies) {
    if (!fs::exists(analyze) || !fs::exists(strace)) GTEST_SKIP() << "needs systemd-analyze and strace (make test-deps)";
    const Names allowed = allowed_by_unit();
    ASSERT_GT(allowed.count("read"), 0u);
    ASSERT_EQ(allowed.count("reboot"), 0u);

    ScratchDir dir("syscalls");
    TestPool pool(QXT_POOL_BINARY, dir.path(), {"--target", std::string(64, 'f'), "--job-every", "0"});
    ASSERT_GT(pool.port(), 0);
    const std::string summary = (dir.path() / "strace.txt").string(), stats = (dir.path() / "stats.json").string();
    Process traced({strace, "-f", "-c", "-o", summary, QXT_BINARY, "--no-color", "--no-self-test", "-o",
                    pool.endpoint(), "-u", "QXaddr", "-t", "1", "--http", "127.0.0.1:0", "--stats-file", stats,
                    "--log-file", (dir.path() / "miner.log").string()});
    // The first speed line: ten seconds of mining after the login (whose line goes out as a share's
    // would); the statistics file is written just after it.
    ASSERT_TRUE(traced.wait_for_output(" speed ", 60s)) << traced.out();
    const std::string out = traced.out();
    const std::size_t at = out.find("http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(http_get(static_cast<std::uint16_t>(std::stoi(out.substr(at + 17))), "/metrics").status, 200);
    for (int i = 0; i < 50 && !fs::exists(stats); ++i) std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(fs::exists(stats));
    const pid_t miner = child_of(traced.pid());
    ASSERT_GT(miner, 0);
    ::kill(miner, SIGINT);
    const ProcessResult r = traced.wait(30s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    const Names made = counted(read_file(summary));
    EXPECT_GT(made.count("mmap"), 0u) << read_file(summary);
    EXPECT_GT(made.count("accept4"), 0u) << read_file(summary);
    std::string denied;
    for (const std::string& name : made)
        if (name != "total" && allowed.count(name) == 0) denied += name + " ";
    EXPECT_EQ(denied, "") << read_file(summary);
}
