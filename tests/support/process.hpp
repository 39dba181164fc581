// Runs a program for the end-to-end tests: arguments, environment additions,
// captured stdout and stderr, exit status, and signals while it runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace nolu::qxt::test {

struct ProcessResult {
    int status = -1;          // exit status, or 128 + signal
    bool timed_out = false;   // killed after the time limit
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) to completion, at most `limit`, with stdin from /dev/null.
ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                          const std::vector<std::string>& extra_env = {});

// The miner binary of this build, and a run of it to completion with args
// after the binary (the tests' one way to run the real command line).
const std::string& miner_binary();
ProcessResult run_miner(std::vector<std::string> args, std::chrono::milliseconds limit = std::chrono::seconds(60),
                        const std::vector<std::string>& extra_env = {});

// A running child whose output is collected in the background.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig);
    // Stdout collected so far.
    std::string out();
    // Waits until stdout contains text (true) or the limit passes (false).
    bool wait_for_output(const std::string& text, std::chrono::milliseconds limit);
    // Waits until done(stdout so far) holds, or the limit passes.
    bool wait_for(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds limit);
    // Waits for the exit (killing the child after the limit) and returns the result.
    ProcessResult wait(std::chrono::milliseconds limit);

private:
    void pump(int timeout_ms);
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool done_ = false;
    ProcessResult result_;
};

}  // namespace nolu::qxt::test
