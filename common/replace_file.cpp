#include "common/replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/unique_fd.hpp"

namespace nolu::qxt {

namespace {

std::string why() { return std::strerror(errno); }

// The file to replace: path, or with `follow` what a link there names.
Expected<std::string> resolve_target(const std::string& path, LinkAtPath link) {
    struct stat st {};
    if (link == LinkAtPath::replace || lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return fail("cannot follow the link " + path + ": " + why());
    return std::string(resolved);
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The new file's mode: the old regular file's permission bits (set-id and
// sticky bits dropped), 0600 when there is none.
struct OldFile {
    mode_t mode = 0600;
    bool exists = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

OldFile old_file(const std::string& target) {
    OldFile old;
    struct stat st {};
    if (lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return old;
    old = {static_cast<mode_t>(st.st_mode & 0777), true, st.st_uid, st.st_gid};
    return old;
}

// The temporary file gets the old file's owners where this process may give
// them; where it may not, a group or others who could read the old file do
// not get the new one, so the audience never grows.
Status take_over_mode(int fd, const OldFile& old) {
    mode_t mode = old.mode;
    if (old.exists && (old.uid != geteuid() || old.gid != getegid()) && fchown(fd, old.uid, old.gid) != 0)
        mode &= 0700;
    if (fchmod(fd, mode) != 0) return fail("cannot set the mode: " + why());
    return success();
}

Status write_and_sync(int fd, const std::string& content) {
    if (!write_all(fd, content)) return fail(errno != 0 ? why() : "nothing written");
    if (::fsync(fd) != 0) return fail(why());
    return success();
}

}  // namespace

Status replace_file(const std::string& path, const std::string& content, LinkAtPath link) {
    const Expected<std::string> target = resolve_target(path, link);
    if (!target) return target.error();
    const std::string folder = folder_of(*target);
    const std::size_t slash = target->rfind('/');
    std::string temporary =
        folder + "/." + (slash == std::string::npos ? *target : target->substr(slash + 1)) + ".XXXXXX";
    UniqueFd fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) return fail("cannot write a temporary file in " + folder + ": " + why());
    Status written = take_over_mode(fd.get(), old_file(*target));
    if (written) written = write_and_sync(fd.get(), content);
    if (written && ::close(fd.release()) != 0) written = fail(why());
    if (!written) {
        ::unlink(temporary.c_str());
        return fail("cannot write " + temporary + ": " + written.error().message);
    }
    if (::rename(temporary.c_str(), target->c_str()) != 0) {
        const std::string error = why();
        ::unlink(temporary.c_str());
        return fail("cannot rename " + temporary + " to " + *target + ": " + error);
    }
    // The rename itself reaches the disk with the folder.
    if (UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir) (void)::fsync(dir.get());
    return success();
}

}  // namespace nolu::qxt
