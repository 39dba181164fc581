// The index tables: the one loop over the address blocks, and their cache.
#include "hash/index_table.hpp"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "hash/argon2.hpp"
#include "hash/core_inline.hpp"

namespace nolu::qxt {

void fill_index_table(std::uint32_t* table, AddressBlockFn make) {
    alignas(64) std::uint64_t z[block_words];  // address input block
    alignas(64) std::uint64_t address[block_words];
    for (std::uint32_t slice = 0; slice < 2; ++slice) {
        std::memset(z, 0, sizeof z);
        z[2] = slice;
        z[3] = block_count;
        z[4] = 1;  // passes
        z[5] = 2;  // type: Argon2id
        const std::uint32_t first = slice == 0 ? 2 : 0;  // blocks 0 and 1 come from H0
        for (std::uint32_t i = first; i < slice_blocks; ++i) {
            if (i == first || i % 128 == 0) {
                z[6] = i / 128 + 1;  // the counter: address block k serves indices 128(k-1)..128k-1
                make(z, address);
            }
            const std::uint32_t j = slice * slice_blocks + i;
            table[j] = ref_index(j, address[i % 128]);
        }
    }
}

Expected<const std::uint32_t*> cached_index_table(AddressBlockFn make) {
    static std::mutex mutex;
    // Never destroyed, like the tables it holds: a map destroyed at exit
    // would leave them unreachable, which the leak checker reports.
    static auto& tables = *new std::map<AddressBlockFn, const std::uint32_t*>;
    std::lock_guard<std::mutex> lock(mutex);
    if (const auto it = tables.find(make); it != tables.end()) return it->second;
    const std::size_t bytes = index_table_entries * sizeof(std::uint32_t);
    auto* table = static_cast<std::uint32_t*>(std::aligned_alloc(64, bytes));
    if (table == nullptr) return fail("cannot allocate the 4 MiB index table");
    std::memset(table, 0, bytes);  // entries 0 and 1 stay 0
    fill_index_table(table, make);
    tables.emplace(make, table);
    return static_cast<const std::uint32_t*>(table);
}

}  // namespace nolu::qxt
