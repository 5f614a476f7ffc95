#include "python/lock.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace vexlor::python {

namespace {

// Taking the lock back and the start of exit exclude each other: a thread let in before exit
// began gets the lock before exit goes on; a thread that comes after is shut out. `gate` is held
// only for a few steps, never while waiting for the interpreter lock.
std::mutex gate;
std::condition_variable let_in;
bool exiting = false;    // guarded by gate
std::thread::id exiter;  // guarded by gate
int entering = 0;        // threads let in and still waiting for the interpreter lock; guarded by gate

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// With gate held.
bool shut_out_locked() {
    if (exiting) return std::this_thread::get_id() != exiter;
    // Exit began without the handler (it is registered at import): the process's first thread finalises.
    return finalizing() && ::syscall(SYS_gettid) != ::getpid();
}

// Lets the calling thread in to take the interpreter lock, or answers false for a shut-out one.
bool enter() {
    std::lock_guard lock(gate);
    if (shut_out_locked()) return false;
    ++entering;
    return true;
}

void entered() {
    std::lock_guard lock(gate);
    --entering;
    let_in.notify_all();
}

// A forked child has only the thread that forked: whatever the others held of this is void there.
void after_fork_in_child() {
    new (&gate) std::mutex;
    new (&let_in) std::condition_variable;
    entering = 0;
}

[[maybe_unused]] const int fork_handler = ::pthread_atfork(nullptr, nullptr, &after_fork_in_child);

}  // namespace

void begin_exit() {
    std::unique_lock lock(gate);
    if (exiting) return;
    exiting = true;
    exiter = std::this_thread::get_id();
    // The caller let go of the interpreter lock, so the threads let in before get it in turn.
    let_in.wait(lock, [] { return entering == 0; });
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
    if (!enter()) return false;
    PyEval_RestoreThread(state_);
    entered();
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
    if (!enter()) return;
    state_ = PyGILState_Ensure();
    entered();
    held_ = true;
}

Acquired::~Acquired() {
    if (held_) PyGILState_Release(state_);
}

}  // namespace vexlor::python
