#include "python/classes.hpp"

namespace vexlor::python {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

}  // namespace vexlor::python
