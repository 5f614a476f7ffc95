#include "python/errors.hpp"

#include <array>

#include "python/lock.hpp"

namespace nb = nanobind;

namespace vexlor::python {

namespace {

struct ExceptionDef {
    const char* name;       // qualified
    const char* short_name;
    int base;               // index into the table, or -1 for RuntimeError
    const char* doc;
};

constexpr std::array<ExceptionDef, 8> exception_defs{{
    {"vexlor.ScannerError", "ScannerError", -1, "Base of every error this library raises"},
    {"vexlor.TransientError", "TransientError", 0, "Worth retrying"},
    {"vexlor.TransportError", "TransportError", 1, "The link to the scanner failed"},
    {"vexlor.DeviceBusy", "DeviceBusy", 1, "Something else has the scanner"},
    {"vexlor.DeviceNotFound", "DeviceNotFound", 0, "No such scanner"},
    {"vexlor.MediaError", "MediaError", 0, "Something a person has to go fix"},
    {"vexlor.UnsupportedError", "UnsupportedError", 0,
     "This unit or adapter cannot do that. Carries `.op` and `.reason`"},
    {"vexlor.ScanCancelled", "ScanCancelled", 0, "A progress callback returned False"},
}};

// Process-wide and never released: later initialisations of the module reuse them.
std::array<PyObject*, 8> types{};

PyObject* create(std::size_t i) {
    if (types[i]) return types[i];
    const ExceptionDef& s = exception_defs[i];
    PyObject* base = s.base < 0 ? PyExc_RuntimeError : create(static_cast<std::size_t>(s.base));
    if (!base) return nullptr;
    PyObject* t = PyErr_NewExceptionWithDoc(s.name, s.doc, base, nullptr);
    if (!t) {
        PyErr_Clear();
        PyErr_SetString(PyExc_SystemError, "Failed to initialize new exception type.");
        return nullptr;
    }
    types[i] = t;
    return t;
}

}  // namespace

PyObject* exception_type(Exception e) { return types[static_cast<std::size_t>(e)]; }

void add_exceptions(nb::module_& m) {
    for (std::size_t i = 0; i < exception_defs.size(); ++i) {
        PyObject* t = create(i);
        if (!t) throw nb::python_error();
        m.attr(exception_defs[i].short_name) = nb::borrow(t);
    }
}

Pending::Pending(Mapped mapped) : mapped_(std::move(mapped)) {
    if (mapped_.type != Exception::UnsupportedError) return;
    Acquired gil;
    if (!gil.held()) return;  // interpreter exit: never raised
    if (!exception_type(mapped_.type)) return;  // the module is not initialised; raise() reports it
    // Not Py_BuildValue with "s#": without PY_SSIZE_T_CLEAN it fails on Python 3.10 and later.
    PyObject* message = PyUnicode_DecodeUTF8(mapped_.message.data(), static_cast<Py_ssize_t>(mapped_.message.size()), "replace");
    if (message) {
        instance_ = PyObject_CallOneArg(exception_type(mapped_.type), message);
        Py_DECREF(message);
    }
    if (!instance_) {
        // Raised later from the recorded type and message instead.
        PyErr_Clear();
        return;
    }
    // A failure to set an attribute leaves the exception without it.
    auto set = [&](const char* name, const std::string& value) {
        PyObject* v = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
        if (!v || PyObject_SetAttrString(instance_, name, v) < 0) PyErr_Clear();
        Py_XDECREF(v);
    };
    set("op", mapped_.op.value_or(""));
    set("reason", mapped_.reason.value_or(""));
}

Pending::Pending(Pending&& o) noexcept : mapped_(std::move(o.mapped_)), instance_(o.instance_) { o.instance_ = nullptr; }

Pending::~Pending() {
    if (!instance_) return;
    Acquired gil;
    if (gil.held()) Py_DECREF(instance_);
}

void Pending::raise() {
    if (!exception_type(mapped_.type)) {
        PyErr_SetString(PyExc_SystemError, "vexlor's exception types are not initialised");
        throw nb::python_error();
    }
    if (instance_) {
        PyObject* instance = instance_;
        instance_ = nullptr;
        PyErr_SetObject(exception_type(mapped_.type), instance);
        Py_DECREF(instance);
    } else {
        PyObject* msg = PyUnicode_DecodeUTF8(mapped_.message.data(), static_cast<Py_ssize_t>(mapped_.message.size()),
                                             "replace");
        if (msg) {
            PyErr_SetObject(exception_type(mapped_.type), msg);
            Py_DECREF(msg);
        }
    }
    throw nb::python_error();
}

Pending convert(error::Error e) { return Pending(map_error(e)); }

void raise(error::Error e) { convert(std::move(e)).raise(); }

}  // namespace vexlor::python
