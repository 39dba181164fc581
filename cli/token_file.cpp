#include "cli/token_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/unique_fd.hpp"

namespace nolu::qxt {

namespace {

constexpr std::size_t longest_file = 4096;

std::string first_line_trimmed(const std::string& text) {
    const std::string line = text.substr(0, text.find('\n'));
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

Expected<std::string> read_token_file(const std::string& path) {
    const std::string name = "--http-token-file " + path + ": ";
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) return fail(name + std::strerror(errno));
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return fail(name + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail(name + "not a regular file");
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0)
        return fail(name + "its group or others may read it: chmod 600 " + path);
    if (static_cast<std::size_t>(st.st_size) > longest_file) return fail(name + "larger than 4 KiB");
    std::string text(longest_file, '\0');
    std::size_t got = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(name + std::strerror(errno));
        if (n == 0 || (got += static_cast<std::size_t>(n)) == text.size()) break;
    }
    text.resize(got);
    return first_line_trimmed(text);
}

}  // namespace nolu::qxt
