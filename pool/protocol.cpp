// The pool's line protocol: the login and submission lines the client builds,
// and what it does with each line the pool sends (jobs, notices, replies).
// Everything received is untrusted: it is parsed with the bounded reader,
// validated before it reaches the job slot, and control bytes are taken out of
// pool texts before they reach the console.
#include <array>
#include <cstdint>
#include <string>

#include "common/hex.hpp"
#include "common/json.hpp"
#include "pool/pool.hpp"
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

// Pool texts end up on the user's terminal: control bytes (C0, DEL and the
// UTF-8 encoded C1 range) would let a pool move the cursor, rewrite earlier
// lines or forge console lines, so each becomes a '?'. Printable text,
// UTF-8 included, passes unchanged.
std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x20 || b == 0x7F) {
            out.push_back('?');
        } else if (b == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out.push_back('?');
            ++i;
        } else {
            out.push_back(text[i]);
        }
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

std::string Pool::login_line() const {
    std::string hint = "null";
    if (last_difficulty_ != 0) {
        hint = std::to_string(last_difficulty_);
    } else if (difficulty_hint_ != 0) {
        hint = std::to_string(difficulty_hint_);
    }
    return std::string(R"({"id":1,"method":"login","params":{"address":")") + json_escape(address_) +
           R"(","worker":")" + json_escape(worker_) +
           R"(","protocol_version":2,"capabilities":["submit_claimed_hash","difficulty_hint"],"difficulty_hint":)" +
           hint + "}}";
}

bool Pool::submit_share(const std::string& job_id, std::uint64_t nonce, const std::uint8_t* hash,
                        std::uint64_t connection) {
    const std::uint64_t id = next_id_.fetch_add(1);
    const std::string line = R"({"id":)" + std::to_string(id) + R"(,"method":"submit","params":{"job_id":")" +
                             json_escape(job_id) + R"(","nonce":)" + std::to_string(nonce) +
                             R"(,"claimed_hash":")" + hex_encode(hash, 32) + R"("}})";
    return send_whole(line, connection);
}

void Pool::handle_line(std::string_view line) {
    JsonValue message;
    if (!json_parse(line, message)) return;

    const JsonValue* params = json_find(message, "params");
    const std::string method = json_string_or(message, "method", "");

    if (method == "job" && params != nullptr) {
        parse_job(*params);
        return;
    }
    if (method == "notification" && params != nullptr) {
        if (!on_log_) return;
        const std::string type = json_string_or(*params, "type", "notification");
        const std::string text = json_string_or(*params, "kind", type);
        log("pool notice: " + printable(text));
        return;
    }

    if (json_find(message, "id") == nullptr) return;
    const std::uint64_t id = json_u64_or(message, "id", 0);
    const std::string error = json_string_or(message, "error", "");
    const JsonValue* result = json_find(message, "result");

    if (id == 1) {
        if (!error.empty()) {
            login_refused_ = true;
            log("login refused: " + printable(error));
            return;
        }
        if (result != nullptr && json_find(*result, "job_id") != nullptr) parse_job(*result);
        log("logged in");
        return;
    }

    const std::string status = json_string_or(message, "status", "");
    bool accepted = false;
    std::string text;
    if (!error.empty()) {
        text = error;
    } else if (status.empty()) {
        accepted = true;
    } else if (status == "OK" || status == "ok" || status == "accepted") {
        accepted = true;
        text = status;
    }
    if (on_share_) on_share_(accepted, printable(text));
}

void Pool::parse_job(const JsonValue& fields) {
    std::optional<Job> decoded = decode_job(fields);
    if (!decoded) {
        log("job rejected: bad header_base/target");
        return;
    }
    Job next = std::move(*decoded);
    if (next.difficulty != 0) last_difficulty_ = next.difficulty;

    const std::uint64_t height = next.height;
    const std::uint64_t difficulty = next.difficulty;
    {
        std::lock_guard<std::mutex> lock(job_mutex_);
        // The same job again (a pool re-sends it, often after a reconnect)
        // keeps its number, so the mining threads go on with their walk
        // instead of hashing, and submitting, the same nonces again.
        const bool same = next.valid && job_pool_ == current_pool_.load() && next.job_id == job_.job_id &&
                          next.header_base == job_.header_base && next.target == job_.target &&
                          next.nonce_start == job_.nonce_start && next.nonce_end == job_.nonce_end;
        next.seq = same ? job_.seq : job_counter_.fetch_add(1) + 1;
        next.connection = connection_count_.load();
        job_ = std::move(next);
        job_pool_ = current_pool_.load();
        deliveries_.fetch_add(1);
    }
    log("new job \xE2\x80\x94 height " + std::to_string(height) + ", difficulty " + std::to_string(difficulty));
}

}  // namespace nolu::qxt
