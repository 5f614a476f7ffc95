// Letting go of the interpreter lock around unit work and taking it back. Once interpreter exit
// has begun, a thread other than the one running the exit never takes the lock again: CPython
// would end that thread by unwinding it through our frames, which ends the process. Such a
// thread stays in C++ instead, parked, until the process is gone.
#pragma once

#include <Python.h>

namespace vexlor::python {

// Called by the exit handler, with the interpreter lock released, on the thread running the exit.
void begin_exit();

// Without the interpreter lock. True once exit has begun (or the interpreter is finalising) and
// this thread is not running it:
// this thread must not take the interpreter lock any more.
bool shut_out();

// Blocks the calling thread for good. It must hold no lock and nothing the process still needs.
[[noreturn]] void park();

// The interpreter lock let go for a scope, as nanobind's gil_scoped_release, except that taking
// it back never happens for a shut-out thread: the destructor parks it.
class Released {
public:
    Released();
    ~Released();
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    // Takes the lock back now: false, without it, for a shut-out thread (which must then let go
    // of what it holds and park).
    bool restore();

private:
    PyThreadState* state_;
};

// The interpreter lock taken for a short step by a thread that let go of it. A shut-out thread
// does not get it: `held()` is false, and the step must be skipped.
class Acquired {
public:
    Acquired();
    ~Acquired();
    Acquired(const Acquired&) = delete;
    Acquired& operator=(const Acquired&) = delete;
    bool held() const { return held_; }

private:
    PyGILState_STATE state_{};
    bool held_ = false;
};

}  // namespace vexlor::python
