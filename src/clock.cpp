#include "clock.hpp"

#include <thread>

namespace vexlor::clock {

namespace {

class SystemClock final : public Clock {
public:
    Instant now() override { return std::chrono::steady_clock::now(); }
    void sleep(Duration d) override {
        if (d > Duration::zero()) std::this_thread::sleep_for(d);
    }
};

}  // namespace

Clock& system() {
    static SystemClock c;
    return c;
}

}  // namespace vexlor::clock
