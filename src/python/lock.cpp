#include "python/lock.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace vexlor::python {

namespace {

// Taking the lock back and the start of exit exclude each other: a thread that was let in takes
// the lock before exit begins; a thread that comes after is shut out. Only threads without the
// interpreter lock take `gate`, so it never waits on a thread that needs the interpreter lock.
std::mutex gate;
bool exiting = false;         // guarded by gate
std::thread::id exiter;       // guarded by gate

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Without gate.
bool shut_out_locked() {
    if (exiting) return std::this_thread::get_id() != exiter;
    // Exit began without the handler (it is registered at import): the process's first thread finalises.
    return finalizing() && ::syscall(SYS_gettid) != ::getpid();
}

}  // namespace

void begin_exit() {
    std::lock_guard lock(gate);
    if (exiting) return;
    exiting = true;
    exiter = std::this_thread::get_id();
}

bool shut_out() {
    std::lock_guard lock(gate);
    return shut_out_locked();
}

void park() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

Released::Released() : state_(PyEval_SaveThread()) {}

bool Released::restore() {
    if (!state_) return true;
    std::lock_guard lock(gate);
    if (shut_out_locked()) return false;
    PyEval_RestoreThread(state_);
    state_ = nullptr;
    return true;
}

Released::~Released() {
    if (!restore()) park();
}

Acquired::Acquired() {
    if (PyGILState_Check()) {
        // Already this thread's: nothing can shut it out of a lock it holds.
        state_ = PyGILState_Ensure();
        held_ = true;
        return;
    }
    std::lock_guard lock(gate);
    if (shut_out_locked()) return;
    state_ = PyGILState_Ensure();
    held_ = true;
}

Acquired::~Acquired() {
    if (held_) PyGILState_Release(state_);
}

}  // namespace vexlor::python
