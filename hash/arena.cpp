// Block placement and the mapping of one thread's arena.
#include "hash/arena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <string>

#include "hash/core_inline.hpp"

#ifndef MAP_HUGE_SHIFT
#define MAP_HUGE_SHIFT 26
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14 and later; older kernels answer EINVAL
#endif

namespace nolu::qxt {

std::uint32_t stored_position(std::uint32_t j, std::uint32_t skip_from) {
    return is_dropped(j, skip_from) ? no_slot : block_slot(j, skip_from);
}

void to_tiled(const std::uint64_t* standard, std::uint64_t* tiled) { tile_block(standard, tiled); }
void from_tiled(const std::uint64_t* tiled, std::uint64_t* standard) { untile_block(tiled, standard); }

namespace {

constexpr std::uint64_t huge_page = std::uint64_t{1} << 21;

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

// A zero-filled, 64-byte aligned allocation of bytes (rounded up to 64).
void* zeroed(std::size_t bytes) {
    bytes = (bytes + 63) & ~std::size_t{63};
    void* p = std::aligned_alloc(64, bytes);
    if (p != nullptr) std::memset(p, 0, bytes);
    return p;
}

// Populates [p, p + size) 64 MiB at a time, so that a stop asked meanwhile
// is honoured within one step rather than after gigabytes (the rest then
// faults in if it is ever used). False only for want of memory; a kernel
// without MADV_POPULATE_WRITE leaves the pages to fault in as they are first
// written.
bool populate(void* p, std::uint64_t size, const std::atomic<bool>* stop) {
    constexpr std::uint64_t step = std::uint64_t{64} << 20;
    for (std::uint64_t at = 0; at < size; at += step) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return true;
        if (madvise(static_cast<char*>(p) + at, std::min(step, size - at), MADV_POPULATE_WRITE) != 0)
            return errno != ENOMEM;
    }
    return true;
}

// Ordinary pages: the mapping starts on a 2 MiB boundary, so that
// transparent huge pages can back all of it. With prefault it is populated
// at once (with huge pages where the kernel has them free) rather than page
// by page in the first hash, and a machine that cannot populate it for want
// of memory fails here rather than in the middle of a hash.
void* map_ordinary(std::uint64_t size, bool prefault, const std::atomic<bool>* stop = nullptr) {
    constexpr std::uint64_t align = huge_page;
    void* raw = mmap(nullptr, size + align, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + align - 1) & ~(align - 1);
    if (aligned > start) munmap(raw, aligned - start);
    if (const std::uintptr_t tail = start + size + align - (aligned + size); tail > 0)
        munmap(reinterpret_cast<void*>(aligned + size), tail);
    void* p = reinterpret_cast<void*>(aligned);
    madvise(p, size, MADV_HUGEPAGE);
    if (prefault && !populate(p, size, stop)) {
        munmap(p, size);
        return nullptr;
    }
    return p;
}

Status map_storage(Arena& arena) {
    std::uint64_t mapped = 0;
    for (int shift : {30, 21}) {
        if (void* p = map_huge(arena.size, shift, mapped)) {
            arena.base = p;
            arena.mapped_bytes = mapped;
            arena.huge_pages = true;
            arena.page_shift = shift;
            return success();
        }
    }
    void* p = map_ordinary(arena.size, arena.settings.prefault, arena.settings.stop);
    if (p == nullptr) return fail("cannot map " + std::to_string(arena.size >> 20) + " MiB of memory");
    arena.base = p;
    arena.mapped_bytes = arena.size;
    arena.huge_pages = false;
    arena.page_shift = 21;
    return success();
}

Status allocate_parts(Arena& arena) {
    if (const std::uint32_t slots = side_slots(arena.settings); slots > 0) {
        // A mapping of its own, on a 2 MiB boundary with transparent huge
        // pages: the reads it serves are spread over the whole buffer (with
        // 1024 slots about 4 % less time in the first half, alternating runs).
        const std::uint64_t bytes = (std::uint64_t{slots} * block_bytes + huge_page - 1) & ~(huge_page - 1);
        arena.side_buf = map_ordinary(bytes, true);
        arena.side_bytes = bytes;
        if (arena.side_buf == nullptr) return fail("cannot allocate the side-cache buffer");
    }
    if (const std::uint64_t entries = ref_table_entries(arena.settings); entries > 0) {
        arena.ref_table = static_cast<std::uint32_t*>(zeroed(entries * 4));
        if (arena.ref_table == nullptr) return fail("cannot allocate the reference table");
    }
    return map_storage(arena);
}

}  // namespace

Status arena_allocate(Arena& arena, const HashSettings& settings) {
    arena_release(arena);
    arena.settings = settings;
    arena.size = arena_bytes(settings);
    Status status = allocate_parts(arena);
    if (!status) arena_release(arena);
    return status;
}

void arena_release(Arena& arena) {
    if (arena.base != nullptr) {
        munmap(arena.base, arena.mapped_bytes != 0 ? arena.mapped_bytes : arena.size);
        arena.base = nullptr;
    }
    arena.mapped_bytes = 0;
    arena.huge_pages = false;
    if (arena.side_buf != nullptr) munmap(arena.side_buf, arena.side_bytes);
    arena.side_buf = nullptr;
    arena.side_bytes = 0;
    std::free(arena.ref_table);
    arena.ref_table = nullptr;
}

}  // namespace nolu::qxt
