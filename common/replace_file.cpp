#include "common/replace_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nolu::qxt {

Status replace_file(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    std::FILE* f = std::fopen(temporary.c_str(), "w");
    if (f == nullptr) return fail("cannot write " + temporary + ": " + std::strerror(errno));
    const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        std::remove(temporary.c_str());
        return fail("cannot write " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        std::remove(temporary.c_str());
        return fail("cannot rename " + temporary + " to " + path + ": " + why);
    }
    return success();
}

}  // namespace nolu::qxt
