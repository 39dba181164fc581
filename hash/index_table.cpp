// The process-wide index tables and their allocation.
#include "hash/index_table.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nolu::qxt {

std::uint32_t* index_table_avx2 = nullptr;
std::uint32_t* index_table_avx512 = nullptr;

std::uint32_t* allocate_index_table() {
    void* p = std::aligned_alloc(64, index_table_entries * sizeof(std::uint32_t));
    if (p == nullptr) {
        std::fputs("cannot allocate the 4 MiB index table\n", stderr);
        std::exit(1);
    }
    std::memset(p, 0, index_table_entries * sizeof(std::uint32_t));  // entries 0 and 1 stay 0
    return static_cast<std::uint32_t*>(p);
}

void ensure_index_table_avx512() {
    if (index_table_avx512 == nullptr) build_index_table_avx512();
}

}  // namespace nolu::qxt
