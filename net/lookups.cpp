#include "net/lookups.hpp"

#include <condition_variable>
#include <system_error>
#include <thread>
#include <utility>

namespace nolu::qxt {

namespace {

using Clock = std::chrono::steady_clock;

// A result that nobody collected in time is still used by the next caller,
// unless it has grown older than this.
constexpr std::chrono::seconds result_lifetime{60};

}  // namespace

// Shared by the resolver thread and the callers; the thread holds its own
// reference, so a Lookups (or Pool) may go away while a lookup hangs.
struct Lookups::Pending {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    Clock::time_point finished_at;
    Lookup result = LookupError{LookupError::Kind::failed};
};

Lookups::Lookups(ResolveFn resolve) : resolve_(std::move(resolve)) {}

std::shared_ptr<Lookups::Pending> Lookups::pending_for(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = pending_.find(host);
    if (found != pending_.end()) {
        std::shared_ptr<Pending> pending = found->second;
        std::lock_guard<std::mutex> state(pending->mutex);
        if (!pending->done || Clock::now() - pending->finished_at < result_lifetime) return pending;
        pending_.erase(found);
    }
    auto pending = std::make_shared<Pending>();
    try {
        std::thread([pending, resolve = resolve_, host] {
            Lookup result = LookupError{LookupError::Kind::failed};
            try {
                result = resolve(host);
            } catch (...) {
                // A resolver that throws has failed.
            }
            std::lock_guard<std::mutex> state(pending->mutex);
            pending->result = std::move(result);
            pending->done = true;
            pending->finished_at = Clock::now();
            pending->done_changed.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: this attempt fails like a failed lookup.
        std::lock_guard<std::mutex> state(pending->mutex);
        pending->done = true;
        pending->finished_at = Clock::now();
        return pending;
    }
    pending_[host] = pending;
    return pending;
}

std::optional<Lookup> Lookups::resolve(const std::string& host, std::chrono::milliseconds timeout,
                                       std::chrono::milliseconds step, const std::function<bool()>& keep_going) {
    std::optional<Lookup> out;  // one object, returned whole on every path
    // A numeric address is its own answer: no thread, nothing to wait for.
    if (const std::optional<IpAddress> literal = parse_ip_literal(host)) {
        out.emplace(std::vector<IpAddress>{*literal});
        return out;
    }
    const std::shared_ptr<Pending> pending = pending_for(host);
    const Clock::time_point give_up = Clock::now() + timeout;
    if (step.count() <= 0) step = std::chrono::milliseconds(1);
    std::unique_lock<std::mutex> state(pending->mutex);
    while (!pending->done) {
        if (!keep_going()) return out;
        const Clock::time_point now = Clock::now();
        if (now >= give_up) {
            out.emplace(LookupError{LookupError::Kind::timed_out});
            return out;
        }
        pending->done_changed.wait_for(state, std::min<Clock::duration>(step, give_up - now));
    }
    out.emplace(pending->result);
    state.unlock();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = pending_.find(host);
    if (found != pending_.end() && found->second == pending) pending_.erase(found);
    return out;
}

std::size_t Lookups::outstanding() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

}  // namespace nolu::qxt
