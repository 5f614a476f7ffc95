// How the module's classes are made. nanobind binds a C++ type to one class per process and
// refuses a second, so a later initialisation of the module adds the class made first. A
// class without a constructor refuses instances from Python, __new__ included: an object
// nanobind did not fill holds no C++ value.
#pragma once

#include <initializer_list>
#include <vector>

#include <nanobind/nanobind.h>

namespace vexlor::python {

// Adds the class bound to T under `name` when an earlier initialisation made it.
template <class T>
bool add_existing_class(nanobind::module_& m, const char* name) {
    nanobind::handle type = nanobind::type<T>();
    if (!type.is_valid()) return false;
    m.attr(name) = type;
    return true;
}

// tp_new of the classes without a constructor: a TypeError, as for CPython's own.
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Binds T as a class without a constructor, with the type slots `slots` besides.
template <class T>
nanobind::class_<T> class_without_constructor(nanobind::module_& m, const char* name, const char* doc,
                                              std::initializer_list<PyType_Slot> slots = {}) {
    std::vector<PyType_Slot> all(slots);
    all.push_back({Py_tp_new, reinterpret_cast<void*>(&refuse_new)});
    all.push_back({0, nullptr});
    return nanobind::class_<T>(m, name, doc, nanobind::type_slots(all.data()));
}

// nanobind gives a property without a docstring its getter's signature as one; these have none.
void without_docstrings(nanobind::handle type, std::initializer_list<const char*> properties);

}  // namespace vexlor::python
