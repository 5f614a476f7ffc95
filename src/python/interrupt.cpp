#include "python/interrupt.hpp"

#include "python/lock.hpp"

namespace nb = nanobind;

namespace vexlor::python {

namespace {
thread_local Interrupt* current = nullptr;
thread_local int callbacks = 0;
}  // namespace

Interrupt::~Interrupt() {
    if (!type_) return;
    Acquired gil;
    if (!gil.held()) return;  // interpreter exit: left to the process's end
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

unsigned Interrupt::check() {
    // At interpreter exit the lock is not taken again.
    if (ending_ && ending_->load()) return stops();
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < CHECK_EVERY) return stops();
    last_ = now;
    Acquired gil;
    // Interpreter exit: the call stops, and this thread no longer takes the lock.
    if (!gil.held()) return stops() + 1;
    check_held();
    return stops();
}

unsigned Interrupt::check_now() {
    if (ending_ && ending_->load()) return stops();
    last_ = std::chrono::steady_clock::now();
    Acquired gil;
    // Interpreter exit: the call stops, and this thread no longer takes the lock.
    if (!gil.held()) return stops() + 1;
    check_held();
    return stops();
}

bool Interrupt::check_held() {
    // Only the main thread runs signal handlers; elsewhere this answers 0 at once.
    if (PyErr_CheckSignals() != 0) keep_error();
    return stops() > 0;
}

bool Interrupt::keep_if_fatal() {
    if (!PyErr_Occurred()) return false;
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return false;
    }
    keep_error();
    return true;
}

void Interrupt::keep_error() {
    ++count_;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type_) {
        // The first one stands; a second Ctrl-C while stopping says nothing new.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    type_ = type;
    value_ = value;
    traceback_ = traceback;
}

void Interrupt::raise() {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
    throw nb::python_error();
}

Interrupt* current_interrupt() { return current; }

CurrentInterrupt::CurrentInterrupt(Interrupt& interrupt) : previous_(current) { current = &interrupt; }
CurrentInterrupt::~CurrentInterrupt() { current = previous_; }

InCallback::InCallback() { ++callbacks; }
InCallback::~InCallback() { --callbacks; }
bool InCallback::active() { return callbacks > 0; }

}  // namespace vexlor::python
