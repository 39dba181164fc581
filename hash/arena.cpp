// Engine settings, block placement and the mapping of one thread's arena.
#include "hash/arena.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "hash/argon2.hpp"

#ifndef MAP_HUGE_SHIFT
#define MAP_HUGE_SHIFT 26
#endif

namespace nolu::qxt {

EngineSettings engine_settings;

void set_skip(std::uint32_t permille, bool rebuild) {
    if (permille == 0) {
        engine_settings.skip_from = block_count;
        engine_settings.rebuild = true;
        return;
    }
    std::uint64_t p = permille;
    if (p < 500) p = 500;
    if (p > 1000) p = 1000;
    // p thousandths of the 2^21 blocks, to the nearest multiple of 2048
    // (a remainder of exactly 1024 rounds down).
    engine_settings.skip_from = static_cast<std::uint32_t>(((p * 262144) / 125 + 1023) & ~std::uint64_t{0x7FF});
    engine_settings.rebuild = rebuild;
}

void set_reft(bool on) { engine_settings.reft = on; }

bool skip_store_on() { return engine_settings.skip_from < block_count; }

std::uint32_t skip_permille() {
    if (!skip_store_on()) return 0;
    return static_cast<std::uint32_t>((std::uint64_t{engine_settings.skip_from} * 1000 + 0x1FFFFF) >> 21);
}

std::uint64_t arena_bytes() {
    const std::uint32_t skip_from = engine_settings.skip_from;
    if (skip_from >= block_count) return full_arena_bytes;
    const std::uint32_t stored = skip_from + (0x200001u - skip_from) / 2;
    const std::uint64_t bytes = std::uint64_t{stored} * block_bytes;
    return (bytes + 0x1FFFFF) & ~std::uint64_t{0x1FFFFF};
}

std::uint32_t stored_position(std::uint32_t j, std::uint32_t skip_from) {
    if (j < skip_from) return j;
    if (j & 1u) return no_slot;
    return skip_from + (j - skip_from) / 2;
}

std::uint32_t stored_position(std::uint32_t j) { return stored_position(j, engine_settings.skip_from); }

std::uint64_t ref_table_entries() {
    if (!engine_settings.reft || !skip_store_on()) return 0;
    return (block_count - engine_settings.skip_from) / 2 + 16;
}

void to_tiled(const std::uint64_t* standard, std::uint64_t* tiled) {
    for (unsigned n = 0; n < 16; ++n) {
        const unsigned first = 32 * (n / 4) + 4 * (n % 4);
        for (unsigned k = 0; k < 4; ++k) {
            tiled[8 * n + k] = standard[first + k];
            tiled[8 * n + 4 + k] = standard[first + 16 + k];
        }
    }
}

void from_tiled(const std::uint64_t* tiled, std::uint64_t* standard) {
    for (unsigned n = 0; n < 16; ++n) {
        const unsigned first = 32 * (n / 4) + 4 * (n % 4);
        for (unsigned k = 0; k < 4; ++k) {
            standard[first + k] = tiled[8 * n + k];
            standard[first + 16 + k] = tiled[8 * n + 4 + k];
        }
    }
}

namespace {

// Explicit huge pages: the kernel can only unmap whole pages, so the length
// is rounded up to the page size here and that same length is unmapped later.
void* map_huge(std::uint64_t size, int shift, std::uint64_t& mapped) {
    const std::uint64_t page = std::uint64_t{1} << shift;
    const std::uint64_t len = (size + page - 1) & ~(page - 1);
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE | MAP_HUGETLB | (shift << MAP_HUGE_SHIFT), -1, 0);
    if (p == MAP_FAILED) return nullptr;
    mapped = len;
    return p;
}

}  // namespace

bool arena_allocate(Arena& arena) {
    arena.size = arena_bytes();

    const std::uint32_t slots = engine_settings.side_slots;
    if (slots > 0 && arena.side_buf == nullptr) {
        const std::size_t bytes = std::size_t{slots} * block_bytes;
        arena.side_buf = std::aligned_alloc(64, bytes);
        if (arena.side_buf == nullptr) return false;
        std::memset(arena.side_buf, 0, bytes);
    }

    const std::uint64_t entries = ref_table_entries();
    if (entries > 0 && arena.ref_table == nullptr) {
        const std::size_t bytes = (entries * 4 + 63) & ~std::size_t{63};
        arena.ref_table = static_cast<std::uint32_t*>(std::aligned_alloc(64, bytes));
        if (arena.ref_table == nullptr) return false;
        std::memset(arena.ref_table, 0, bytes);
    }

    std::uint64_t mapped = 0;
    for (int shift : {30, 21}) {
        if (void* p = map_huge(arena.size, shift, mapped)) {
            arena.base = p;
            arena.mapped_bytes = mapped;
            arena.huge_pages = true;
            arena.page_shift = shift;
            return true;
        }
    }
    void* p = mmap(nullptr, arena.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    madvise(p, arena.size, MADV_HUGEPAGE);
    arena.base = p;
    arena.mapped_bytes = arena.size;
    arena.huge_pages = false;
    arena.page_shift = 21;
    return true;
}

void arena_release(Arena& arena) {
    if (arena.base != nullptr) {
        munmap(arena.base, arena.mapped_bytes != 0 ? arena.mapped_bytes : arena.size);
        arena.base = nullptr;
    }
    arena.mapped_bytes = 0;
    arena.huge_pages = false;
    std::free(arena.side_buf);
    arena.side_buf = nullptr;
    std::free(arena.ref_table);
    arena.ref_table = nullptr;
}

}  // namespace nolu::qxt
