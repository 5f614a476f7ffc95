#include "python/devices.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "device/device.hpp"
#include "text.hpp"

namespace nb = nanobind;

namespace vexlor::python {

void add_device_class(nb::module_& m) {
    // No constructor: instances come from list_devices only.
    nb::class_<device::Device>(m, "Device", "A scanner this library found, and can open")
        .def_prop_ro(
            "location", [](const device::Device& d) { return device::to_string(d.attach); }, "Where it is")
        .def_prop_ro(
            "name", [](const device::Device& d) { return d.name(); }, "What to show a person")
        .def("__repr__",
             [](const device::Device& d) { return "Device(" + text::quoted(device::to_string(d.attach)) + ")"; });
}

void add_list_devices(nb::module_& m) {
    // Keeps the interpreter lock throughout: listing is short and takes no session.
    m.def("list_devices", [] { return device::list(); }, nb::sig("def list_devices() -> list[Device]"),
          "Every scanner this library thinks it can drive");
}

}  // namespace vexlor::python
