// The log file of --log-file: every console line, without colour escapes,
// after a local ISO-8601 time stamp, appended, e.g.
//   2026-12-08T07:48:06.123+01:00 net   connected to pool.example.com:3358
// The console itself is unchanged. The file is opened for appending (O_APPEND:
// a copy-and-truncate rotation does not leave a hole), and opened anew when
// its path no longer names it (a rotation that renamed or removed it).
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "common/expected.hpp"

namespace nolu::qxt {

// Opens (creates) the file; on the main thread, before any other thread runs.
Status open_log_file(const std::string& path);

// Moves to the file at path (a reload; empty: no log file any more). The new
// file is opened before the old one is closed, so a path that cannot be
// opened leaves the old file in use. Any thread: takes the console mutex.
Status switch_log_file(const std::string& path);

// Appends each non-empty line of console_text with a time stamp; nothing
// without a log file. The caller holds the console mutex; write errors are
// ignored (like the statistics file's).
void append_to_log_file(std::string_view console_text);

// "2026-12-08T07:48:06.123+01:00": the local time, its milliseconds and its
// offset from UTC in seconds.
std::string log_time_stamp(const std::tm& local, int milliseconds, long utc_offset_s);

// The text without its ANSI escape sequences (ESC '[' ... final byte).
std::string without_escapes(std::string_view text);

}  // namespace nolu::qxt
