#include "python/callables.hpp"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace nb = nanobind;

namespace vexlor::python {

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        // A broken invariant below: the caller gets an exception, the process carries on.
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

void not_initialised(nb::handle self) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not initialised", Py_TYPE(self.ptr())->tp_name);
    throw nb::python_error();
}

void add_function(nb::module_& m, PyMethodDef& def) {
    // Never released: later initialisations of the module reuse them.
    static std::vector<std::pair<const PyMethodDef*, PyObject*>> made;
    PyObject* function = nullptr;
    for (const auto& [d, f] : made) {
        if (d == &def) function = f;
    }
    if (!function) {
        nb::object module_name = m.attr("__name__");
        function = PyCFunction_NewEx(&def, nullptr, module_name.ptr());
        if (!function) throw nb::python_error();
        made.emplace_back(&def, function);
    }
    m.attr(def.ml_name) = nb::borrow(function);
}

void add_methods(nb::handle type, std::span<PyMethodDef> defs) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type.ptr());
    for (PyMethodDef& def : defs) {
        nb::object member;
        if (def.ml_flags & METH_STATIC) {
            // Bound to the class, as CPython binds its own. Called rather than made with
            // PyStaticMethod_New, which leaves out the function's __doc__ and __name__.
            nb::object function = nb::steal(PyCFunction_NewEx(&def, type.ptr(), nullptr));
            if (!function.is_valid()) throw nb::python_error();
            member = nb::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), function.ptr()));
        } else {
            member = nb::steal(PyDescr_NewMethod(tp, &def));
        }
        if (!member.is_valid()) throw nb::python_error();
        // Through the type's setattr, so that CPython points the matching slot at it.
        type.attr(def.ml_name) = member;
        if (std::strcmp(def.ml_name, "__init__") == 0) {
            // nanobind's fast path for calling the class runs only an __init__ made by nanobind.
            tp->tp_vectorcall = nullptr;
        }
    }
}

}  // namespace vexlor::python
