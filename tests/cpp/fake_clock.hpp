// Clocks for tests: sleeping is recorded and costs no wall time.
#pragma once

#include <mutex>
#include <vector>

#include "clock.hpp"

namespace vexlor::test_support {

// Time moves only when somebody sleeps.
class StepClock : public clock::Clock {
public:
    clock::Instant now() override {
        std::lock_guard l(m_);
        return base() + slept_;
    }
    void sleep(clock::Duration d) override {
        std::lock_guard l(m_);
        sleeps_.push_back(d);
        slept_ += d;
    }
    std::vector<clock::Duration> sleeps() const {
        std::lock_guard l(m_);
        return sleeps_;
    }

protected:
    virtual clock::Instant base() { return clock::Instant{}; }

private:
    mutable std::mutex m_;
    clock::Duration slept_{};
    std::vector<clock::Duration> sleeps_;
};

// Real time, plus every pause that was asked for without waiting for it: for code that also waits on
// things outside the clock (a USB transfer's own time-out).
class SkipClock final : public StepClock {
protected:
    clock::Instant base() override { return clock::system().now(); }
};

}  // namespace vexlor::test_support
