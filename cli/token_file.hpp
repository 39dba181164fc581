// The status server's bearer token from a file (--http-token-file), so that
// it shows neither in the process list nor in a settings file others may
// read. The systemd unit hands it over with LoadCredential=.
#pragma once

#include <string>

#include "common/expected.hpp"

namespace nolu::qxt {

// The file's first line without surrounding blanks (empty: no token). Fails
// when the file cannot be read, is not a regular file, is larger than 4 KiB,
// or may be read by its group or by others.
Expected<std::string> read_token_file(const std::string& path);

}  // namespace nolu::qxt
