// Writes verification records (header hex, decimal nonce, tag hex; one per
// line) computed with libargon2: Argon2id v1.3, t = 1, m = 2 GiB, p = 1, the
// nonce's 8 little-endian bytes as password and the 92-byte header as salt.
//
//   make_vectors > tools/vectors.txt
#include <argon2.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

struct Record {
    std::uint8_t header[92];
    std::uint64_t nonce;
};

// splitmix64: fixed, reproducible "random" headers
std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void random_header(std::uint8_t* header, std::uint64_t seed) {
    std::uint64_t state = seed;
    for (int i = 0; i < 92; ++i) header[i] = static_cast<std::uint8_t>(next_random(state) >> 56);
}

}  // namespace

int main() {
    Record records[8];
    int n = 0;
    auto add = [&](const std::uint8_t* header, std::uint64_t nonce) {
        std::memcpy(records[n].header, header, 92);
        records[n].nonce = nonce;
        ++n;
    };
    std::uint8_t header[92];
    std::memset(header, 0, 92);
    add(header, 0);
    std::memset(header, 0x5A, 92);  // all "Z"
    add(header, 0);
    add(header, UINT64_MAX);
    random_header(header, 1);
    add(header, 0x5A5A000000000000ull);  // only the high bytes set
    add(header, 0x000000000000005Aull);  // the same byte value, low end
    random_header(header, 2);
    add(header, 12345678901234567890ull);
    random_header(header, 3);
    add(header, 0x00000000FFFFFFFFull);
    std::memset(header, 0xFF, 92);
    add(header, 0x8000000000000000ull);

    for (int r = 0; r < n; ++r) {
        std::uint8_t pwd[8];
        for (int i = 0; i < 8; ++i) pwd[i] = static_cast<std::uint8_t>(records[r].nonce >> (8 * i));
        std::uint8_t tag[32];
        const int rc = argon2id_hash_raw(1, 1u << 21, 1, pwd, 8, records[r].header, 92, tag, 32);
        if (rc != ARGON2_OK) {
            std::fprintf(stderr, "libargon2: %s\n", argon2_error_message(rc));
            return 1;
        }
        for (int i = 0; i < 92; ++i) std::printf("%02x", records[r].header[i]);
        std::printf(" %" PRIu64 " ", records[r].nonce);
        for (int i = 0; i < 32; ++i) std::printf("%02x", tag[i]);
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
