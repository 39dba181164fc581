// The parts of the line protocol that need no Pool: reading a job out of a
// message, and telling what a pool's early lines mean for a connection that
// is not yet in use (the primary pool tried again while on a backup).
#pragma once

#include <optional>
#include <string_view>

#include "pool/job.hpp"
#include "common/json.hpp"

namespace nolu::qxt {

// The job fields of a "job" message's params or a login result; nothing
// when header_base or target is not exactly 184 or 64 hexadecimal digits.
// seq and connection are left 0; valid is true when job_id is not empty.
std::optional<Job> decode_job(const JsonValue& fields);

enum class FirstReply {
    other,    // nothing that decides the connection
    job,      // a job that can be mined (or a login reply carrying one)
    refused,  // the login was refused
};
FirstReply classify_reply(std::string_view line);

}  // namespace nolu::qxt
