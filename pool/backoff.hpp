// The reconnect back-off: 5, 10, 20, 40 and then 60 s, each wait moved by up
// to 20 % either way at random, so rigs that lost the same pool at the same
// moment do not all come back in the same second.
#pragma once

#include "common/timing.hpp"

namespace nolu::qxt {

struct BackoffWait {
    long tenths = 0;   // the wait in tenths of a second (wait steps)
    long seconds = 0;  // the same, rounded to whole seconds, as the log tells it
};

class Backoff {
public:
    static constexpr int first_s = 5;
    static constexpr int last_s = 60;

    // jitter gives numbers in [0, 1); 0.5 is the step itself. Null: no jitter.
    explicit Backoff(JitterFn jitter);

    // The wait before the next attempt; the step then doubles (at most 60 s).
    BackoffWait next();
    // Back to the first step (after a connection that delivered a job).
    void reset() { step_s_ = first_s; }
    int step_seconds() const { return step_s_; }

private:
    JitterFn jitter_;
    int step_s_ = first_s;
};

// A JitterFn backed by its own generator, seeded from the system.
JitterFn system_jitter();

}  // namespace nolu::qxt
