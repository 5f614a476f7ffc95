// Discovery on a thread of its own, so that the caller lets go of the interpreter lock and still
// answers Ctrl-C at once: a unit that does not answer its probe holds up only that thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include <nanobind/nanobind.h>

#include "python/interrupt.hpp"
#include "python/lock.hpp"

namespace vexlor::python {

namespace away_detail {
// Unit work outside any session's hold (listings, opens) still running, for interpreter exit to
// wait for: until it ends it may still be talking to a unit.
void started();
void finished();

template <class T>
struct Shared {
    std::mutex m;
    std::condition_variable done;
    std::optional<T> result;
    std::atomic<bool> stop{false};
};
}  // namespace away_detail

// Runs `work(stop)` on a thread of its own and answers what it returns. Needs the interpreter
// lock, which it lets go of while it waits. Ctrl-C raises at once and sets `stop`; the work
// then finishes alone (a probe in flight runs to its time-out) and its result is dropped.
template <class T, class Work>
T away(Work work) {
    auto shared = std::make_shared<away_detail::Shared<T>>();
    away_detail::started();
    try {
        std::thread([shared, work = std::move(work)]() mutable {
            T value = work(shared->stop);
            {
                std::lock_guard lock(shared->m);
                shared->result.emplace(std::move(value));
            }
            shared->done.notify_all();
            away_detail::finished();
        }).detach();
    } catch (...) {
        away_detail::finished();
        throw;
    }
    Interrupt interrupt;
    std::optional<T> out;
    {
        Released release;
        std::unique_lock lock(shared->m);
        for (;;) {
            if (shared->done.wait_for(lock, Interrupt::CHECK_EVERY, [&] { return shared->result.has_value(); })) break;
            lock.unlock();
            const bool stop = interrupt.check();
            lock.lock();
            if (stop) break;
        }
        if (shared->result) {
            out = std::move(shared->result);
        } else {
            shared->stop.store(true);
        }
    }
    if (interrupt.fired()) interrupt.raise();
    if (!out) throw std::runtime_error("discovery was stopped");
    return std::move(*out);
}

// Counts the scope as unit work outside any session's hold; `done` ends it early.
class UnitWork {
public:
    UnitWork() { away_detail::started(); }
    ~UnitWork() { done(); }
    UnitWork(const UnitWork&) = delete;
    UnitWork& operator=(const UnitWork&) = delete;
    void done() {
        if (counted_) away_detail::finished();
        counted_ = false;
    }

private:
    bool counted_ = true;
};

// At interpreter exit (without the interpreter lock): waits, a bounded time, for listings and
// opens to finish, so none is left talking to a unit, or inside the USB library, while the
// process ends. They stop at their next look for a signal.
void end_unit_work();

}  // namespace vexlor::python
