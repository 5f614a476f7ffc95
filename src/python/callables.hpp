// The module's functions and methods as CPython's own built-in functions and method
// descriptors: inspect.signature and help() read the text signature that starts each
// docstring ("name(...)\n--\n\n", which CPython strips from __doc__). nanobind's function
// objects carry none.
#pragma once

#include <cxxabi.h>

#include <span>
#include <utility>

#include <nanobind/nanobind.h>

namespace vexlor::python {

// Sets the Python error for the C++ exception being handled (call it inside catch (...), never
// for a forced unwind).
void set_error_from_exception() noexcept;

// The body of a C entry point: the object `body` returns, or null with the Python error set
// for whatever it threw. A thread being ended (pthread_exit: CPython ends daemon threads that
// way at exit) unwinds through here to its start: not noexcept, and the unwind is not caught.
template <class Body>
PyObject* entry(Body&& body) {
    try {
        return std::forward<Body>(body)().release().ptr();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

[[noreturn]] void not_initialised(nanobind::handle self);

// The C++ value inside an instance of a bound class. An object whose constructor never ran
// (made by __new__ alone) holds no value: a TypeError then.
template <class T>
T& instance(nanobind::handle self) {
    if (!nanobind::inst_ready(self)) not_initialised(self);
    return *nanobind::inst_ptr<T>(self);
}

// A PyMethodDef entry's function pointer, from any calling convention.
template <class F>
PyCFunction c_function(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Adds the function `def` describes. Its object is made once per process: a second
// initialisation of the module adds the same object again.
void add_function(nanobind::module_& m, PyMethodDef& def);

// Adds the methods `defs` describe to a class made once per process: method descriptors, or
// static methods for METH_STATIC. An `__init__` among them is the constructor.
void add_methods(nanobind::handle type, std::span<PyMethodDef> defs);

}  // namespace vexlor::python
