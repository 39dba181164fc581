// The bundled test pool (tools/) run on a free port of 127.0.0.1 for the
// end-to-end tests, stopped with SIGTERM when the object goes.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.hpp"

namespace nolu::qxt::test {

class TestPool {
public:
    // Starts binary with args after its port options; the port is read from
    // a file it writes in dir (0 when it never came).
    TestPool(const std::string& binary, const std::filesystem::path& dir, std::vector<std::string> args);
    ~TestPool();
    TestPool(const TestPool&) = delete;
    TestPool& operator=(const TestPool&) = delete;

    int port() const { return port_; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
    Process& process() { return *process_; }

private:
    std::unique_ptr<Process> process_;
    int port_ = 0;
};

}  // namespace nolu::qxt::test
