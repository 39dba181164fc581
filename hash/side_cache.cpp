// Side-cache planner. The first half's references are known in advance, so
// which block goes into which slot, and which read is served from which slot,
// is decided once here; the engine only follows the two tables.
#include "hash/side_cache.hpp"

#include <algorithm>
#include <functional>
#include <queue>
#include <vector>

#include "hash/argon2.hpp"

namespace nolu::qxt {

namespace {

struct Plan {
    std::vector<std::uint16_t> write_slot;
    std::vector<std::uint16_t> read_slot;
    std::uint32_t served = 0;
};

// Near readers of every block, grouped by the block they read (counting
// sort), each group in increasing reader order.
struct NearReaders {
    std::vector<std::uint32_t> start;    // half_blocks + 1 offsets into list
    std::vector<std::uint32_t> list;

    void build(const std::uint32_t* table, std::uint32_t dist) {
        start.assign(half_blocks + 1, 0);
        for (std::uint32_t i = 2; i < half_blocks; ++i) {
            if (i - table[i] <= dist) ++start[table[i] + 1];
        }
        for (std::uint32_t k = 0; k < half_blocks; ++k) start[k + 1] += start[k];
        list.resize(start[half_blocks]);
        std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
        for (std::uint32_t i = 2; i < half_blocks; ++i) {
            if (i - table[i] <= dist) list[fill[table[i]]++] = i;
        }
    }
};

void plan_one(const std::uint32_t* table, std::uint32_t slots, std::uint32_t dist, Plan& plan) {
    plan.write_slot.assign(half_blocks, side_none);
    plan.read_slot.assign(half_blocks, side_none);
    plan.served = 0;

    NearReaders near;
    near.build(table, dist);

    std::vector<std::uint16_t> free_slots;
    free_slots.reserve(slots);
    for (std::uint32_t s = slots; s-- > 0;) free_slots.push_back(static_cast<std::uint16_t>(s));
    // (release index, slot), smallest release index first, then smallest slot.
    std::priority_queue<std::uint64_t, std::vector<std::uint64_t>, std::greater<>> busy;

    for (std::uint32_t k = 2; k < half_blocks; ++k) {
        const std::uint32_t first = near.start[k], end = near.start[k + 1];
        if (first != end && !free_slots.empty()) {
            const std::uint16_t s = free_slots.back();
            free_slots.pop_back();
            plan.write_slot[k] = s;
            for (std::uint32_t n = first; n < end; ++n) plan.read_slot[near.list[n]] = s;
            busy.push((std::uint64_t{near.list[end - 1]} << 32) | s);
            plan.served += end - first;
        }
        // A slot whose last reader is block k is free again for block k + 1.
        while (!busy.empty() && (busy.top() >> 32) < std::uint64_t{k} + 1) {
            free_slots.push_back(static_cast<std::uint16_t>(busy.top() & 0xFFFF));
            busy.pop();
        }
    }
}

}  // namespace

SidePlan side_plan(const std::uint32_t* index_table, std::uint32_t slots, std::uint32_t dist) {
    SidePlan best;
    if (slots == 0) return best;
    const std::uint32_t n = std::min(slots, side_slots_max);
    best.write_slot.assign(half_blocks, side_none);
    best.read_slot.assign(half_blocks, side_none);
    Plan work;
    const std::uint32_t candidates[] = {dist, 2048, 4096, 8192, 16384, 32768};
    for (const std::uint32_t d : candidates) {
        if (d != 0) {
            plan_one(index_table, n, d, work);
            // Strictly better only: on a tie the smaller distance, tried first, stays.
            if (work.served > best.served || best.dist == 0) {
                std::swap(best.write_slot, work.write_slot);
                std::swap(best.read_slot, work.read_slot);
                best.served = work.served;
                best.dist = d;
            }
        }
        if (dist != 0) break;
    }
    best.slots = n;
    return best;
}

std::uint32_t served_permille(const SidePlan& plan) {
    return static_cast<std::uint32_t>(std::uint64_t{plan.served} * 500 / 524287);
}

}  // namespace nolu::qxt
