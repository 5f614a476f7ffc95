// The monotonic clock and sleeping, behind one small interface so that tests can check the
// waits and deadlines that were asked for and run long deadlines in test time.
#pragma once

#include <chrono>

namespace vexlor::clock {

using Instant = std::chrono::steady_clock::time_point;
using Duration = std::chrono::nanoseconds;

class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant now() = 0;
    virtual void sleep(Duration d) = 0;
};

// The process's real steady clock.
Clock& system();

// Time left until `deadline`, or zero once it has passed.
inline Duration remaining(Clock& c, Instant deadline) {
    const Instant t = c.now();
    return t < deadline ? std::chrono::duration_cast<Duration>(deadline - t) : Duration::zero();
}

}  // namespace vexlor::clock
