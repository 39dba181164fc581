// The parts of the pool's line protocol that need no Pool: the login and
// submission lines, jobs read out of messages, what a pool's early lines
// mean, and pool texts made safe for the console. Everything received is
// untrusted: it is parsed with the bounded reader and validated before it
// reaches the job slot.
#include <array>
#include <cstdint>
#include <string>

#include "common/hex.hpp"
#include "common/json.hpp"
#include "common/printable.hpp"
#include "pool/protocol.hpp"

namespace nolu::qxt {

namespace {

// Decodes exactly 2 * N hexadecimal digits into out; false (out untouched) otherwise.
template <std::size_t N>
bool decode_hex_exact(const std::string& text, std::array<std::uint8_t, N>& out) {
    return hex_decode(text, out.data(), N);
}

// The network target is optional: a text of the right length is decoded up to
// its first non-hexadecimal pair, the rest stays zero.
std::array<std::uint8_t, 32> decode_network_target(const std::string& text) {
    std::array<std::uint8_t, 32> out{};
    if (text.size() != 64) return out;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = hex_digit(text[2 * i]);
        const int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) break;
        out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return out;
}

}  // namespace

std::optional<Job> decode_job(const JsonValue& fields) {
    Job job;
    job.job_id = json_string_or(fields, "job_id", "");
    if (!decode_hex_exact(json_string_or(fields, "header_base", ""), job.header_base) ||
        !decode_hex_exact(json_string_or(fields, "target", ""), job.target))
        return std::nullopt;
    job.network_target = decode_network_target(json_string_or(fields, "network_target", ""));
    job.height = json_u64_or(fields, "height", 0);
    job.nonce_start = json_u64_or(fields, "nonce_start", 0);
    job.nonce_end = json_u64_or(fields, "nonce_end", ~std::uint64_t{0});
    job.difficulty = json_u64_or(fields, "difficulty", 0);
    job.valid = !job.job_id.empty();
    return job;
}

FirstReply classify_reply(std::string_view line) {
    JsonValue message;
    if (!json_parse(line, message)) return FirstReply::other;
    const JsonValue* params = json_find(message, "params");
    if (json_string_or(message, "method", "") == "job" && params != nullptr) {
        const std::optional<Job> job = decode_job(*params);
        return job && job->valid ? FirstReply::job : FirstReply::other;
    }
    if (json_find(message, "id") == nullptr || json_u64_or(message, "id", 0) != 1) return FirstReply::other;
    if (!json_string_or(message, "error", "").empty()) return FirstReply::refused;
    const JsonValue* result = json_find(message, "result");
    if (result == nullptr || json_find(*result, "job_id") == nullptr) return FirstReply::other;
    const std::optional<Job> job = decode_job(*result);
    return job && job->valid ? FirstReply::job : FirstReply::other;
}

Verdict share_verdict(const JsonValue& message) {
    const std::string error = json_string_or(message, "error", "");
    const std::string status = json_string_or(message, "status", "");
    Verdict verdict;
    if (!error.empty()) {
        verdict.text = printable(error);
    } else if (status.empty()) {
        verdict.accepted = true;
    } else if (status == "OK" || status == "ok" || status == "accepted") {
        verdict.accepted = true;
        verdict.text = status;
    }
    return verdict;
}

bool same_work(const Job& a, const Job& b) {
    return a.job_id == b.job_id && a.header_base == b.header_base && a.target == b.target &&
           a.nonce_start == b.nonce_start && a.nonce_end == b.nonce_end;
}

std::string login_line(const std::string& address, const std::string& worker, std::uint64_t difficulty_hint) {
    const std::string hint = difficulty_hint != 0 ? std::to_string(difficulty_hint) : "null";
    return std::string(R"({"id":1,"method":"login","params":{"address":")") + json_escape(address) +
           R"(","worker":")" + json_escape(worker) +
           R"(","protocol_version":2,"capabilities":["submit_claimed_hash","difficulty_hint"],"difficulty_hint":)" +
           hint + "}}";
}

std::string submission_line(std::uint64_t id, const std::string& job_id, std::uint64_t nonce,
                            const std::uint8_t* hash) {
    return R"({"id":)" + std::to_string(id) + R"(,"method":"submit","params":{"job_id":")" + json_escape(job_id) +
           R"(","nonce":)" + std::to_string(nonce) + R"(,"claimed_hash":")" + hex_encode(hash, 32) + R"("}})";
}

}  // namespace nolu::qxt
