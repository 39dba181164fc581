#include "tests/support/test_pool.hpp"

#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace nolu::qxt::test {

using namespace std::chrono_literals;

TestPool::TestPool(const std::string& binary, const std::filesystem::path& dir, std::vector<std::string> args) {
    const std::string port_file = (dir / "port").string();
    args.insert(args.begin(), {binary, "--port", "0", "--port-file", port_file, "--verbose"});
    process_ = std::make_unique<Process>(args);
    for (int i = 0; i < 100 && !std::filesystem::exists(port_file); ++i) std::this_thread::sleep_for(50ms);
    std::ifstream(port_file) >> port_;
}

TestPool::~TestPool() {
    process_->signal(SIGTERM);
    process_->wait(10s);
}

}  // namespace nolu::qxt::test
