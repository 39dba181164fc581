// Shared by the packaging tests: a scratch folder, whole-file reads and
// writes, and running bash.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.hpp"

namespace nolu::qxt::test {

// A fresh folder under the temporary directory, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag) {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("qxt-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// bash -c script, with $1... = args (values never pass through the script text).
inline ProcessResult run_bash(const std::string& script, const std::vector<std::string>& args = {},
                              std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    std::vector<std::string> argv = {"/bin/bash", "-c", script, "bash"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, limit);
}

}  // namespace nolu::qxt::test
