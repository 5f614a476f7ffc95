#include "python/classes.hpp"

namespace vexlor::python {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

void without_docstrings(nanobind::handle type, std::initializer_list<const char*> properties) {
    for (const char* name : properties) type.attr(name).attr("__doc__") = nanobind::none();
}

}  // namespace vexlor::python
