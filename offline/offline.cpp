#include "offline/offline.hpp"

#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "console/console.hpp"
#include "console/signals.hpp"
#include "status/stats.hpp"
#include "offline/verify_records.hpp"
#include "common/clock.hpp"
#include "hash/arena.hpp"

namespace nolu::qxt {

std::vector<std::uint32_t> verify_passes(const EngineRow& engine, int option_skip) {
    if (!engine.memory_options) return {0};
    return {option_skip > 0 ? static_cast<std::uint32_t>(option_skip) : 600u, 0};
}

VerifyCounts verify_file(const std::string& path, Engine engine, const HashSettings& settings,
                         const std::vector<std::uint32_t>& passes, const std::atomic<bool>& stop,
                         const std::function<void(const VerifyCounts&)>& progress) {
    VerifyCounts counts;
    bool first_pass = true;
    for (std::uint32_t permille : passes) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            counts.unreadable = true;
            return counts;
        }
        Arena arena;
        if (!arena_allocate(arena, with_skip(settings, permille, true))) {
            counts.no_arena = true;
            return counts;
        }
        VerifyRecordReader reader(in, &stop);
        while (const std::optional<VerifyRecord> record = reader.next()) {
            ++counts.total;
            if (!record->problem.empty()) {
                if (first_pass) {
                    ++counts.malformed;
                    if (counts.problems.size() < verify_problems_shown)
                        counts.problems.push_back("line " + std::to_string(record->line) + ": " + record->problem);
                }
                if (progress) progress(counts);
                continue;
            }
            alignas(64) std::uint8_t actual[32];
            engine(arena, record->header.data(), record->nonce, actual);
            if (std::memcmp(actual, record->hash.data(), sizeof actual) == 0) ++counts.matched;
            if (progress) progress(counts);
            if (stop.load()) break;
        }
        arena_release(arena);
        if (stop.load()) {
            counts.interrupted = true;
            return counts;
        }
        first_pass = false;
    }
    return counts;
}

namespace {

// Hashes the well-formed records of the file `lanes` at a time through the
// engine's lane entry, each in its own arena of settings (the last call may
// hold fewer). Malformed records count as mismatches, as in a later pass of
// verify_file; the first pass already named them.
VerifyCounts verify_lanes(const std::string& path, LaneEngine hash_lanes, const HashSettings& settings,
                          unsigned lanes, const std::atomic<bool>& stop) {
    VerifyCounts counts;
    std::ifstream in(path, std::ios::binary);
    std::vector<Arena> arenas(lanes);
    for (Arena& arena : arenas) counts.no_arena = counts.no_arena || !arena_allocate(arena, settings);
    VerifyRecordReader reader(in, &stop);
    bool more = !counts.no_arena;
    while (more && !stop.load()) {
        std::optional<VerifyRecord> record[max_lanes];
        alignas(64) std::uint8_t actual[max_lanes][32];
        LaneWork work[max_lanes];
        unsigned n = 0;
        while (n < lanes && (more = static_cast<bool>(record[n] = reader.next()))) {
            ++counts.total;
            if (!record[n]->problem.empty()) continue;
            work[n] = {&arenas[n], record[n]->header.data(), record[n]->nonce, actual[n]};
            ++n;
        }
        if (n == 0) continue;
        hash_lanes(work, n);
        for (unsigned k = 0; k < n; ++k)
            if (std::memcmp(actual[k], record[k]->hash.data(), 32) == 0) ++counts.matched;
    }
    for (Arena& arena : arenas) arena_release(arena);
    counts.interrupted = stop.load();
    return counts;
}

// verify_file, then with --lanes above 1 the records once more, that many
// at a time.
VerifyCounts verify_all(const VerifyRequest& request, const EngineRow& engine, const HashSettings& settings,
                        const std::function<void(const VerifyCounts&)>& progress) {
    VerifyCounts counts = verify_file(request.path, engine.hash, settings, verify_passes(engine, request.skip),
                                      stop_flag, progress);
    if (request.lanes <= 1 || counts.no_arena || counts.unreadable || counts.interrupted) return counts;
    HashSettings lane_settings = settings;
    lane_settings.stop = &stop_flag;
    const VerifyCounts lanes = verify_lanes(request.path, engine.hash_lanes, lane_settings,
                                            static_cast<unsigned>(request.lanes), stop_flag);
    counts.total += lanes.total;
    counts.matched += lanes.matched;
    counts.no_arena = lanes.no_arena;
    counts.interrupted = lanes.interrupted;
    return counts;
}

// What the hashing thread has done so far, shared with the main thread.
struct VerifyProgress {
    std::mutex mutex;
    VerifyCounts counts;
    bool done = false;
};

// Runs verify_all on a thread of its own while this thread watches the
// stop flag: a signal ends the verification at once, not after a hash that
// may take seconds on a slow or busy machine. The thread owns copies of all
// it reads (the side-cache plan included; the index tables live as long as
// the process), so after a stop it may go on hashing, unwaited for, until
// the process exits.
VerifyCounts verify_until_stopped(const Setup& setup, const VerifyRequest& request) {
    auto shared = std::make_shared<VerifyProgress>();
    auto side = setup.side ? std::make_shared<SidePlan>(*setup.side) : nullptr;
    HashSettings settings = setup.settings;
    settings.side = side.get();
    auto work = [shared, side, settings, request, engine = setup.engine] {
        VerifyCounts counts = verify_all(request, *engine, settings, [&shared](const VerifyCounts& c) {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->counts = c;
        });
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->counts = std::move(counts);
        shared->done = true;
    };
    std::thread worker;
    try {
        worker = std::thread(work);
    } catch (const std::system_error&) {
        work();  // no thread to be had: verify here, stopping between hashes
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->done || stop_flag.load()) break;
        }
        sleep_ms(50);
    }
    std::lock_guard<std::mutex> lock(shared->mutex);
    VerifyCounts counts = shared->counts;
    if (!shared->done) counts.interrupted = true;
    if (worker.joinable()) {
        if (shared->done) {
            worker.join();
        } else {
            worker.detach();
        }
    }
    return counts;
}

}  // namespace

int run_verify(const Setup& setup, const VerifyRequest& request) {
    const VerifyCounts counts = verify_until_stopped(setup, request);
    if (counts.no_arena) return report_failure(memory_failure("cannot allocate the arena"));
    if (counts.unreadable) log_line(colours.red, "check", "cannot read " + request.path);
    for (const std::string& problem : counts.problems) log_line(colours.red, "check", problem);
    if (counts.malformed > counts.problems.size())
        log_line(colours.red, "check",
                 "and " + std::to_string(counts.malformed - counts.problems.size()) + " more malformed record(s)");
    const std::string tally = "verify " + std::to_string(counts.matched) + "/" + std::to_string(counts.total);
    if (counts.interrupted) {
        log_line(colours.red, "check", tally + " INTERRUPTED \xE2\x80\x94 stopped by a signal before the end");
        return 1;
    }
    const bool ok = counts.total > 0 && counts.matched == counts.total;
    log_line(ok ? colours.green : colours.red, "check", tally + (ok ? " OK" : " FAILED"));
    return ok ? 0 : 1;
}

std::string format_bench_line(int threads, double rate, int seconds) {
    return std::to_string(threads) + " threads: " + rate_text(rate) + " over " + std::to_string(seconds) + " s";
}

}  // namespace nolu::qxt
