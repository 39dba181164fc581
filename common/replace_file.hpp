// Replacing a file whole: written beside it and renamed over it, so that a
// reader sees the old content or the new, never a part.
#pragma once

#include <string>

#include "common/expected.hpp"

namespace nolu::qxt {

// What a symbolic link at the path means.
enum class LinkAtPath {
    replace,  // the link itself is replaced by the file (a path someone else may have made)
    follow,   // the file it names is replaced (a path the owner chose and linked, e.g. -c)
};

// Writes content to a new file made with mkstemp in the target's folder
// (never a fixed name, never through a link), with the old file's permission
// bits (0600 when there is none), flushes it to disk with fsync and renames
// it over the target. On any failure the temporary file is removed and the
// target keeps what it had.
Status replace_file(const std::string& path, const std::string& content, LinkAtPath link = LinkAtPath::replace);

}  // namespace nolu::qxt
