#include "tests/support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

extern char** environ;

namespace nolu::qxt::test {

const std::string& miner_binary() {
    static const std::string path = QXT_BINARY;
    return path;
}

ProcessResult run_miner(std::vector<std::string> args, std::chrono::milliseconds limit,
                        const std::vector<std::string>& extra_env) {
    args.insert(args.begin(), miner_binary());
    return run_process(args, limit, extra_env);
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
    for (const auto& e : extra_env) env_strings.push_back(e);
    std::vector<char*> env;
    for (auto& e : env_strings) env.push_back(e.data());
    env.push_back(nullptr);

    // A child of its own process group, with default signal handling.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const int rc = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    if (rc != 0) {
        close(out_fd_);
        close(err_fd_);
        throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " + std::strerror(rc));
    }
}

Process::~Process() {
    if (!done_) wait(std::chrono::milliseconds(0));
}

void Process::signal(int sig) {
    if (!done_) kill(pid_, sig);
}

void Process::pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0) return;
    char buf[65536];
    for (int k = 0; k < 2; ++k) {
        if ((fds[k].revents & (POLLIN | POLLHUP)) == 0 || fds[k].fd < 0) continue;
        const ssize_t n = read(fds[k].fd, buf, sizeof buf);
        if (n > 0) (k == 0 ? result_.out : result_.err).append(buf, static_cast<std::size_t>(n));
        if (n == 0) {
            close(fds[k].fd);
            (k == 0 ? out_fd_ : err_fd_) = -1;
        }
    }
}

std::string Process::out() {
    if (out_fd_ >= 0 || err_fd_ >= 0) pump(0);
    return result_.out;
}

bool Process::wait_for_output(const std::string& text, std::chrono::milliseconds limit) {
    return wait_for([&](const std::string& out) { return out.find(text) != std::string::npos; }, limit);
}

bool Process::wait_for(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done(result_.out)) {
        if (out_fd_ < 0 && err_fd_ < 0) return false;
        if (std::chrono::steady_clock::now() >= end) return false;
        pump(50);
    }
    return true;
}

ProcessResult Process::wait(std::chrono::milliseconds limit) {
    if (done_) return result_;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (std::chrono::steady_clock::now() >= end) {
            result_.timed_out = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        if (out_fd_ >= 0 || err_fd_ >= 0)
            pump(20);
        else
            usleep(20000);
    }
    while (out_fd_ >= 0 || err_fd_ >= 0) pump(100);
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    done_ = true;
    return result_;
}

ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                          const std::vector<std::string>& extra_env) {
    Process p(argv, extra_env);
    return p.wait(limit);
}

}  // namespace nolu::qxt::test
