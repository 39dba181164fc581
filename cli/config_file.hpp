// The settings file of -c/--config: one JSON object whose keys are the long
// options without their dashes ("pool", "user", "threads", "stats-file", ...),
// built on the option table, so every option added there is a key too:
//   {"pool": "pool.example.com:3358", "user": "QX...", "threads": 4, "no-color": true}
// A value is what the option's row asks for: a string, a whole number, true
// or false for a flag (false leaves it off), an array of strings for an
// option that may be repeated. A key that begins with "_" is a comment and is
// ignored. Anything else (an unknown key, a key given twice, a wrong type,
// text that is not one JSON object) is a failure naming the file, status 2.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "console/failure.hpp"
#include "cli/options.hpp"

namespace nolu::qxt {

// Reads the file at path (at most 1 MiB) and applies its settings to o.
Outcome<Done> load_config_file(const std::string& path, Options& o);

// Applies the settings in text to o; name is the file's name in messages.
// The keys are the long names of table's rows (the option table unless a
// test gives its own).
Outcome<Done> apply_config_text(std::string_view text, const std::string& name, Options& o,
                                std::span<const OptionRow> table = option_table());

}  // namespace nolu::qxt
