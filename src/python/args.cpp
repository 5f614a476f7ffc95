#include "python/args.hpp"

namespace nb = nanobind;

namespace vexlor::python {

void type_error(const char* function, const char* argument, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "%s(): argument '%s' must be %s, not %s", function, argument, expected,
                 Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

std::uint64_t unsigned_arg(const char* function, const char* argument, nb::handle value, std::uint64_t max) {
    if (!PyLong_Check(value.ptr())) type_error(function, argument, "int", value);
    const unsigned long long v = PyLong_AsUnsignedLongLong(value.ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "%s(): argument '%s' must be an integer from 0 to %llu", function, argument,
                     static_cast<unsigned long long>(max));
        throw nb::python_error();
    }
    if (v > max) {
        PyErr_Format(PyExc_OverflowError, "%s(): argument '%s' must be an integer from 0 to %llu", function, argument,
                     static_cast<unsigned long long>(max));
        throw nb::python_error();
    }
    return v;
}

void raise_message(PyObject* type, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw nb::python_error();
}

std::string str_arg(const char* function, const char* argument, nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) type_error(function, argument, "str", value);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!utf8) throw nb::python_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace vexlor::python
