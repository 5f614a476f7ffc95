// Test-only entry points into the plane conversion and the channel names, for what no scan of the
// emulated units reaches: the buffer's address, a plane of the wrong length, channels no unit has.
#include <numeric>

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include "python/convert.hpp"

namespace nb = nanobind;

NB_MODULE(vexlor_hooks, m) {
    // A plane of `length` samples counting up from 0, and the address of its buffer.
    m.def("plane", [](std::size_t length, std::size_t rows, std::size_t cols) {
        std::vector<std::uint16_t> plane(length);
        std::iota(plane.begin(), plane.end(), std::uint16_t{0});
        const auto address = reinterpret_cast<std::uintptr_t>(plane.data());
        return std::make_pair(vexlor::python::plane_to_numpy(std::move(plane), rows, cols), address);
    });
    m.def("channel_name", [](std::uint8_t code) { return vexlor::python::channel_name(code); });
}
