// A pool job as the mining threads see it, and the interface through which
// they take jobs and hand in shares.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace nolu::qxt {

struct Job {
    std::uint64_t seq = 0;         // 1, 2, ... per job stored; a new value is a new job
    std::uint64_t connection = 0;  // number of the connection that delivered it
    std::string job_id;
    std::array<std::uint8_t, 92> header_base{};
    std::array<std::uint8_t, 32> target{};
    std::array<std::uint8_t, 32> network_target{};
    std::uint64_t height = 0;
    std::uint64_t nonce_start = 0;
    std::uint64_t nonce_end = ~std::uint64_t{0};
    std::uint64_t difficulty = 0;
    bool valid = false;
};

class JobSource {
public:
    virtual ~JobSource() = default;
    // A whole copy of the current job when it may be mined (valid, and its
    // connection is up); nothing otherwise.
    virtual std::optional<Job> mineable_job() = 0;
    // Hands in a share of job. False when it did not go out: the connection
    // that delivered job is no longer the current one, or the send failed.
    virtual bool submit(const Job& job, std::uint64_t nonce, const std::uint8_t* hash) = 0;
};

}  // namespace nolu::qxt
