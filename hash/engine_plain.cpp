// The work function computed the plain way: address blocks made as Argon2i
// makes them, blocks in standard word order, scalar arithmetic only. Every
// fast engine and the index tables are checked against this file.
#include <cstring>

#include "hash/plain.hpp"

#include "hash/argon2.hpp"
#include "hash/blake2b.hpp"
#include "hash/core_inline.hpp"

namespace nolu::qxt {

namespace {

std::uint64_t rotr(std::uint64_t x, unsigned n) { return (x >> n) | (x << (64 - n)); }

std::uint64_t blamka(std::uint64_t x, std::uint64_t y) {
    return x + y + 2 * (x & 0xFFFFFFFFull) * (y & 0xFFFFFFFFull);
}

void mix(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c, std::uint64_t& d) {
    a = blamka(a, b);
    d = rotr(d ^ a, 32);
    c = blamka(c, d);
    b = rotr(b ^ c, 24);
    a = blamka(a, b);
    d = rotr(d ^ a, 16);
    c = blamka(c, d);
    b = rotr(b ^ c, 63);
}

// The BLAKE2b round without message words on 16 words given by position:
// gathered into locals, mixed, written back.
void round16(std::uint64_t* w, const unsigned* at) {
    std::uint64_t v[16];
    for (int i = 0; i < 16; ++i) v[i] = w[at[i]];
    mix(v[0], v[4], v[8], v[12]);
    mix(v[1], v[5], v[9], v[13]);
    mix(v[2], v[6], v[10], v[14]);
    mix(v[3], v[7], v[11], v[15]);
    mix(v[0], v[5], v[10], v[15]);
    mix(v[1], v[6], v[11], v[12]);
    mix(v[2], v[7], v[8], v[13]);
    mix(v[3], v[4], v[9], v[14]);
    for (int i = 0; i < 16; ++i) w[at[i]] = v[i];
}

// Address blocks of the data-independent half, one slice at a time.
class AddressBlocks {
public:
    explicit AddressBlocks(std::uint32_t slice) {
        std::memset(input_, 0, sizeof input_);
        input_[2] = slice;
        input_[3] = block_count;
        input_[4] = 1;  // passes
        input_[5] = 2;  // type: Argon2id
    }
    // J1 for index i (0..0x7FFFF) within the slice; i runs upwards from the
    // slice's first filled index.
    std::uint32_t j1(std::uint32_t i, bool first) {
        if (first || i % 128 == 0) {
            input_[6] = i / 128 + 1;
            address_block_plain(input_, address_);
        }
        return static_cast<std::uint32_t>(address_[i % 128]);
    }

private:
    std::uint64_t input_[block_words];
    std::uint64_t address_[block_words];
};

}  // namespace

void compress_plain(const std::uint64_t* x, const std::uint64_t* y, std::uint64_t* out) {
    std::uint64_t r[block_words];
    std::uint64_t t[block_words];
    for (std::size_t i = 0; i < block_words; ++i) r[i] = t[i] = x[i] ^ y[i];
    unsigned at[16];
    for (unsigned row = 0; row < 8; ++row) {
        for (unsigned k = 0; k < 16; ++k) at[k] = 16 * row + k;
        round16(t, at);
    }
    for (unsigned col = 0; col < 8; ++col) {
        for (unsigned k = 0; k < 8; ++k) {
            at[2 * k] = 16 * k + 2 * col;
            at[2 * k + 1] = 16 * k + 2 * col + 1;
        }
        round16(t, at);
    }
    for (std::size_t i = 0; i < block_words; ++i) out[i] = t[i] ^ r[i];
}

void address_block_plain(const std::uint64_t* z, std::uint64_t* out) {
    static const std::uint64_t zero[block_words] = {};
    std::uint64_t once[block_words];
    compress_plain(zero, z, once);
    compress_plain(zero, once, out);
}

void engine_plain(const Arena& arena, const std::uint8_t* header, std::uint64_t nonce, std::uint8_t* out) {
    auto* blocks = static_cast<std::uint64_t*>(arena.base);
    auto block = [blocks](std::uint32_t j) { return blocks + std::size_t{j} * block_words; };

    first_blocks(header, nonce, hprime_1024, block(0), block(1));
    for (std::uint32_t slice = 0; slice < 2; ++slice) {
        AddressBlocks addresses(slice);
        const std::uint32_t first = slice == 0 ? 2 : 0;
        for (std::uint32_t i = first; i < slice_blocks; ++i) {
            const std::uint32_t j = slice * slice_blocks + i;
            compress_plain(block(j - 1), block(ref_index(j, addresses.j1(i, i == first))), block(j));
        }
    }
    if (arena.settings.on_half != nullptr) arena.settings.on_half();
    for (std::uint32_t j = half_blocks; j < block_count; ++j)
        compress_plain(block(j - 1), block(ref_index(j, block(j - 1)[0])), block(j));
    final_tag(block(last_block), out);
}

void window_run_plain(void* window, std::uint32_t window_blocks, std::uint64_t count) {
    auto* blocks = static_cast<std::uint64_t*>(window);
    std::uint64_t x[block_words];
    std::memcpy(x, blocks, block_bytes);
    window_walk(window_blocks, count, [&](std::uint32_t ref, std::uint32_t at) {
        compress_plain(x, blocks + std::size_t{ref} * block_words, x);
        std::memcpy(blocks + std::size_t{at} * block_words, x, block_bytes);
    });
}

}  // namespace nolu::qxt
