#include "console/log_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "console/console.hpp"

#include "common/unique_fd.hpp"

namespace nolu::qxt {

namespace {

struct LogFile {
    std::string path;
    UniqueFd fd;
    dev_t device = 0;
    ino_t inode = 0;
};
// Written by open_log_file before other threads exist; afterwards used only
// under the console mutex.
LogFile log_file;

// The log is never opened through a symbolic link (another user could point
// one at a file of the miner's user, which would then take its lines), is
// made 0640 (it names the payout address), and stays out of child processes.
constexpr int open_flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t new_log_mode = 0640;

bool open_at(LogFile& log) {
    UniqueFd fd(::open(log.path.c_str(), open_flags, new_log_mode));
    if (!fd) return false;
    struct stat st {};
    if (fstat(fd.get(), &st) == 0) {
        log.device = st.st_dev;
        log.inode = st.st_ino;
    }
    log.fd = std::move(fd);
    return true;
}

// After a rotation the path names another file, or none: follow it.
void follow_rotation(LogFile& log) {
    struct stat st {};
    if (lstat(log.path.c_str(), &st) == 0 && st.st_dev == log.device && st.st_ino == log.inode) return;
    open_at(log);  // on failure (a link put in its place, too) the old file keeps the lines
}

// Why path could not be opened, from errno.
Error open_failure(const std::string& path) {
    if (errno == ELOOP) return fail("the log file " + path + " is a symbolic link: refused (name the file itself)");
    return fail("cannot open the log file " + path + " (" + std::strerror(errno) + ")");
}

std::string stamp_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    return log_time_stamp(local, static_cast<int>(now.tv_nsec / 1000000), local.tm_gmtoff);
}

}  // namespace

Status open_log_file(const std::string& path) {
    log_file.path = path;
    if (open_at(log_file)) return success();
    return open_failure(path);
}

Status switch_log_file(const std::string& path) {
    const std::lock_guard<std::mutex> lock(console_mutex);
    if (path == log_file.path) return success();
    if (path.empty()) {
        log_file = LogFile{};
        return success();
    }
    LogFile next;
    next.path = path;
    if (!open_at(next)) return open_failure(path);
    log_file = std::move(next);
    return success();
}

void append_to_log_file(std::string_view console_text) {
    if (!log_file.fd) return;
    follow_rotation(log_file);
    const std::string stamp = stamp_now();
    const std::string plain = without_escapes(console_text);
    std::string out;
    std::size_t start = 0;
    while (start < plain.size()) {
        std::size_t end = plain.find('\n', start);
        if (end == std::string::npos) end = plain.size();
        if (end > start) {
            out += stamp;
            out.append(plain, start, end - start);
            out += '\n';
        }
        start = end + 1;
    }
    if (out.empty()) return;
    write_all(log_file.fd.get(), out);
}

std::string log_time_stamp(const std::tm& local, int milliseconds, long utc_offset_s) {
    const long offset_min = (utc_offset_s < 0 ? -utc_offset_s : utc_offset_s) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, milliseconds,
                  utc_offset_s < 0 ? '-' : '+', offset_min / 60, offset_min % 60);
    return text;
}

std::string without_escapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t j = i + 2;
            while (j < text.size() && !(text[j] >= 0x40 && text[j] <= 0x7E)) ++j;
            i = j;  // skips the final byte too
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace nolu::qxt
