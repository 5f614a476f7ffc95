// What stops a call on Python's behalf: a signal whose handler raised (Ctrl-C), a progress
// callback that raised KeyboardInterrupt or SystemExit, or the interpreter ending the session
// at exit. The exception is kept and raised, as it is, when the call returns.
#pragma once

#include <atomic>
#include <chrono>

#include <nanobind/nanobind.h>

namespace vexlor::python {

class Interrupt {
public:
    // `ending`: set when the session must stop whatever it does (at interpreter exit).
    explicit Interrupt(const std::atomic<bool>* ending = nullptr) : ending_(ending) {}
    ~Interrupt();  // drops a kept exception (takes the interpreter lock for it)
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    // Without the interpreter lock: how many times the call has been asked to stop so far (0: go
    // on); a second Ctrl-C counts again, for clean-up to end on. Runs the signal handlers at most
    // every CHECK_EVERY, taking the lock only for that.
    unsigned check();
    // As check, now: for a call that ended cancelled, which a signal may have cut short.
    unsigned check_now();
    unsigned stops() const { return count_ + (ending_ && ending_->load() ? 1u : 0u); }
    // With the interpreter lock: runs the signal handlers now; true once the call should stop.
    bool check_held();
    // With the interpreter lock and the error a callback raised set: keeps it when it is no
    // Exception (KeyboardInterrupt, SystemExit), clearing it either way; true when kept.
    bool keep_if_fatal();
    // An exception is kept: the call raises it in place of whatever it returned.
    bool fired() const { return type_ != nullptr; }
    // With the interpreter lock, once fired: sets the kept exception and throws.
    [[noreturn]] void raise();

    static constexpr std::chrono::milliseconds CHECK_EVERY{50};

private:
    void keep_error();

    const std::atomic<bool>* ending_;
    std::chrono::steady_clock::time_point last_{};
    unsigned count_ = 0;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The interrupt of the call running on this thread, for the progress bridge; null outside calls.
Interrupt* current_interrupt();

// Installs an interrupt as this thread's current one for a scope, restoring the previous one.
class CurrentInterrupt {
public:
    explicit CurrentInterrupt(Interrupt& interrupt);
    ~CurrentInterrupt();
    CurrentInterrupt(const CurrentInterrupt&) = delete;
    CurrentInterrupt& operator=(const CurrentInterrupt&) = delete;

private:
    Interrupt* previous_;
};

// Marks this thread as inside a progress callback for a scope.
class InCallback {
public:
    InCallback();
    ~InCallback();
    InCallback(const InCallback&) = delete;
    InCallback& operator=(const InCallback&) = delete;
    static bool active();
};

}  // namespace vexlor::python
