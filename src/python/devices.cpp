#include "python/devices.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "device/device.hpp"
#include "python/away.hpp"
#include "python/callables.hpp"
#include "python/classes.hpp"
#include "text.hpp"

namespace nb = nanobind;

namespace vexlor::python {

namespace away_detail {

namespace {
std::mutex running_mutex;
std::condition_variable running_changed;
int running = 0;
}  // namespace

void started() {
    std::lock_guard lock(running_mutex);
    ++running;
}

void finished() {
    std::lock_guard lock(running_mutex);
    --running;
    running_changed.notify_all();
}

}  // namespace away_detail

void end_unit_work() {
    // Each stops at its next look for a signal: at most the command in flight is left.
    std::unique_lock lock(away_detail::running_mutex);
    away_detail::running_changed.wait_for(lock, std::chrono::seconds(10), [] { return away_detail::running == 0; });
}

namespace {

PyObject* device_repr(PyObject* self) {
    return entry([&] {
        const auto& d = instance<device::Device>(self);
        return nb::cast("Device(" + text::quoted(device::to_string(d.attach)) + ")");
    });
}

// Without the interpreter lock: other threads run while the units are probed.
PyObject* list_devices(PyObject*, PyObject*) {
    return entry([] {
        return nb::cast(away<std::vector<device::Device>>([](const std::atomic<bool>& stop) { return device::list(&stop); }));
    });
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
