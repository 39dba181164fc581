#include "tests/support/capture.hpp"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace nolu::qxt::test {

std::string capture_stdout(const std::function<void()>& body) {
    std::fflush(stdout);
    char name[] = "/tmp/qxt-stdout-XXXXXX";
    const int fd = mkstemp(name);
    const int saved = dup(1);
    dup2(fd, 1);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::ifstream in(name);
    std::stringstream s;
    s << in.rdbuf();
    close(fd);
    unlink(name);
    return s.str();
}

}  // namespace nolu::qxt::test
