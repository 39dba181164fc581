// Saving the tuner's choice: the setting's options as members of the JSON
// object in the configuration file, named by their long option names
// (engine, threads, lanes, skip, side, side-dist). The file's other members
// stay as they are.
#pragma once

#include <string>

#include "tune/plan.hpp"
#include "common/expected.hpp"

namespace nolu::qxt {

// The new text of the file: `existing` (empty: no file yet) with the
// setting's members set, each in the place it had or appended; side-dist is
// dropped when the planner chooses the distance. Fails when existing text
// is not a JSON object.
Expected<std::string> tuned_config_text(const std::string& existing, const TuneSetting& setting);

// Reads path (a missing file counts as empty), and writes the new text
// through path + ".tmp" and a rename, so a reader sees the old file or the
// new one whole. A file that is not a JSON object is left alone (failure).
Status write_tuned_config(const std::string& path, const TuneSetting& setting);

}  // namespace nolu::qxt
