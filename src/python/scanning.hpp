// The Session methods that work on frames, their result classes, and the conversions between
// Python values and the frame operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>

#include "scan/autoexpose.hpp"
#include "scan/focus.hpp"
#include "session/scan.hpp"

namespace vexlor::python {

// The progress bridge: calls `callback(stage, index, done, total)` with the interpreter lock
// taken for the call alone. True (stop) only when the answer is a Python or NumPy False; an
// exception in the callback is discarded. No callback: false, without touching the lock.
bool report(PyObject* callback, std::string_view stage, std::size_t index, const session::scan::Progress& progress);

// None, a lens position, an (x, y) point in fractions of the frame, "auto" or "hold";
// anything else raises ValueError. Needs the interpreter lock.
scan::focus::Focus focus_from(nanobind::handle object);

// A dict of channel names to exposure times; keys are lower-cased and a key that names no
// channel means the default channel. Needs the interpreter lock.
scan::autoexpose::Exposures exposures_from(const char* function, nanobind::handle dict);

// "red", "infrared", ... or "other(N)" for a window identifier.
std::string channel_name(std::uint8_t code);

// The plane as a (rows, cols) uint16 array that takes over its buffer without a copy.
// Needs the interpreter lock; imports NumPy on first use.
nanobind::object plane_to_numpy(std::vector<std::uint16_t> plane, std::size_t rows, std::size_t cols);

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
