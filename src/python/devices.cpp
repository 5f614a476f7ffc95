#include "python/devices.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "device/device.hpp"
#include "python/callables.hpp"
#include "python/classes.hpp"
#include "text.hpp"

namespace nb = nanobind;

namespace vexlor::python {

namespace {

PyObject* device_repr(PyObject* self) {
    return entry([&] {
        const auto& d = instance<device::Device>(self);
        return nb::cast("Device(" + text::quoted(device::to_string(d.attach)) + ")");
    });
}

// Keeps the interpreter lock throughout: listing is short and takes no session.
PyObject* list_devices(PyObject*, PyObject*) {
    return entry([] { return nb::cast(device::list()); });
}

PyMethodDef list_devices_def{"list_devices", c_function(&list_devices), METH_NOARGS,
                             "list_devices()\n--\n\nEvery scanner this library thinks it can drive"};

}  // namespace

void add_device_class(nb::module_& m) {
    if (add_existing_class<device::Device>(m, "Device")) return;
    // Instances come from list_devices only.
    class_without_constructor<device::Device>(m, "Device", "A scanner this library found, and can open",
                                              {{Py_tp_repr, reinterpret_cast<void*>(&device_repr)}})
        .def_prop_ro(
            "location", [](const device::Device& d) { return device::to_string(d.attach); }, "Where it is")
        .def_prop_ro(
            "name", [](const device::Device& d) { return d.name(); }, "What to show a person");
}

void add_list_devices(nb::module_& m) { add_function(m, list_devices_def); }

}  // namespace vexlor::python
