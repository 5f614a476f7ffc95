// The module's exception classes and the raising half of the error table.
#pragma once

#include <nanobind/nanobind.h>

#include "error.hpp"
#include "python/mapping.hpp"

namespace vexlor::python {

// The class object; valid once add_exceptions has run. Created once per process.
PyObject* exception_type(Exception e);

// Creates the classes on first need and adds them to `m` in table order.
void add_exceptions(nanobind::module_& m);

// An error converted for raising. For UnsupportedError the exception object is made at
// conversion; the others are made when raised.
class Pending {
public:
    explicit Pending(Mapped mapped);
    Pending(Pending&&) noexcept;
    Pending& operator=(Pending&&) = delete;
    ~Pending();  // drops a prepared object (takes the interpreter lock for it)

    // Sets the Python error and throws; needs the interpreter lock.
    [[noreturn]] void raise();

private:
    Mapped mapped_;
    PyObject* instance_ = nullptr;
};

// Consumes the error. Needs no interpreter lock but for UnsupportedError, which takes it.
Pending convert(error::Error e);
[[noreturn]] void raise(error::Error e);

// The value of a successful result, or the error raised as its exception.
template <class T>
T value_or_raise(error::Result<T> r) {
    if (!r) raise(std::move(r).error());
    return std::move(*r);
}

}  // namespace vexlor::python
