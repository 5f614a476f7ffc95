// The Session methods that work on frames, and their result classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>


namespace vexlor::python {

using Arrays = std::vector<std::pair<std::string, nanobind::object>>;

struct ScanResult {
    Arrays colors;
    nanobind::object ir;  // None without an infrared plane
    std::uint32_t dpi = 0;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<std::pair<std::string, std::uint32_t>> exposures;
    std::optional<std::size_t> cleaned;
    bool complete = false;
    std::size_t blocks = 0;
    std::string focused;
    std::optional<std::uint16_t> focus_position;
};

struct Discovery {
    std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>> frames;
    std::optional<Arrays> thumbnail;
    std::optional<double> addresses_per_column;
    std::optional<float> contrast;
    std::optional<bool> thumbnail_complete;
    std::optional<std::size_t> thumbnail_blocks;
};

void add_scan_result_class(nanobind::module_& m);
void add_discovery_class(nanobind::module_& m);

// The Session methods, for its method table.
PyObject* discover_frames(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* scan_frame(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* meter_frame(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* focus_frame(PyObject* self, PyObject* args, PyObject* kwargs);

extern const char* const discover_frames_doc;
extern const char* const scan_frame_doc;
extern const char* const meter_frame_doc;
extern const char* const focus_frame_doc;

}  // namespace vexlor::python
