// The parts of the line protocol that need no Pool: reading a job out of a
// message, and telling what a pool's early lines mean for a connection that
// is not yet in use (the primary pool tried again while on a backup).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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

// What a reply to a submission says: accepted without an error and with no
// status or "OK", "ok", "accepted"; the error (or nothing) as its text, made
// printable.
struct Verdict {
    bool accepted = false;
    std::string text;
};
Verdict share_verdict(const JsonValue& message);

// The same work: id, header, target and nonce range (a job a pool re-sends).
bool same_work(const Job& a, const Job& b);

// The login (id 1); difficulty_hint 0 sends null.
std::string login_line(const std::string& address, const std::string& worker, std::uint64_t difficulty_hint);
std::string submission_line(std::uint64_t id, const std::string& job_id, std::uint64_t nonce,
                            const std::uint8_t* hash);

}  // namespace nolu::qxt
