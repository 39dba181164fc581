// Name lookups on resolver threads, so that a resolver that hangs holds up
// nothing: the caller waits in short steps, gives up after its time-out or
// when asked to stop, and the lookup finishes (or not) on its own thread.
// At most one lookup per name runs at a time: a caller that finds one
// still running waits for that one instead of starting another, so a hung
// resolver costs one thread per name, not one per retry. A numeric
// address needs no lookup and gets no thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "net/resolver.hpp"

namespace nolu::qxt {

class Lookups {
public:
    explicit Lookups(ResolveFn resolve);
    Lookups(const Lookups&) = delete;
    Lookups& operator=(const Lookups&) = delete;

    // The addresses of host, or timed_out when no result came within
    // timeout; nothing when keep_going turned false first. Waits in steps
    // of at most step.
    std::optional<Lookup> resolve(const std::string& host, std::chrono::milliseconds timeout,
                                  std::chrono::milliseconds step, const std::function<bool()>& keep_going);

    // Lookups started and not yet collected (running or finished unclaimed).
    std::size_t outstanding();

private:
    struct Pending;
    std::shared_ptr<Pending> pending_for(const std::string& host);

    ResolveFn resolve_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Pending>> pending_;
};

}  // namespace nolu::qxt
