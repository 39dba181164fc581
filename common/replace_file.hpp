// Replacing a file whole: written beside it and renamed over it, so that a
// reader sees the old content or the new, never a part.
#pragma once

#include <string>

#include "common/expected.hpp"

namespace nolu::qxt {

// Writes content to path + ".tmp" and renames that over path. On a failed
// write (a full disk) or rename, the temporary file is removed and path
// keeps what it had.
Status replace_file(const std::string& path, const std::string& content);

}  // namespace nolu::qxt
