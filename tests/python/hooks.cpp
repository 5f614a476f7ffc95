// Test-only entry points into the progress bridge and the plane conversion, which the frame
// methods reach only through an image pass.
#include <numeric>

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include "python/convert.hpp"

namespace nb = nanobind;

NB_MODULE(vexlor_hooks, m) {
    // As a pass reports: from a thread without the interpreter lock.
    m.def("report", [](nb::object callback, const std::string& stage, std::size_t index, std::uint64_t done, std::uint64_t total) {
        const vexlor::session::scan::Progress progress{done, total, 1};
        PyObject* c = callback.is_none() ? nullptr : callback.ptr();
        nb::gil_scoped_release release;
        return vexlor::python::report(c, stage, index, progress);
    }, nb::arg("callback").none(), nb::arg("stage"), nb::arg("index"), nb::arg("done"), nb::arg("total"));
    // A plane of `length` samples counting up from 0, and the address of its buffer.
    m.def("plane", [](std::size_t length, std::size_t rows, std::size_t cols) {
        std::vector<std::uint16_t> plane(length);
        std::iota(plane.begin(), plane.end(), std::uint16_t{0});
        const auto address = reinterpret_cast<std::uintptr_t>(plane.data());
        return std::make_pair(vexlor::python::plane_to_numpy(std::move(plane), rows, cols), address);
    });
    m.def("channel_name", [](std::uint8_t code) { return vexlor::python::channel_name(code); });
}
