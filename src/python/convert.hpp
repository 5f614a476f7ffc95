// Conversions between Python values and the frame operations, and the progress bridge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nanobind/nanobind.h>

#include "scan/autoexpose.hpp"
#include "scan/focus.hpp"
#include "session/scan.hpp"

namespace vexlor::python {

// The progress bridge: calls `callback(stage, index, done, total)` with the interpreter lock
// taken for the call alone. True (stop) only when the answer is a Python or NumPy False; an
// exception in the callback does not stop the pass: the first one of a call (`reported` false
// until then) goes to sys.unraisablehook, the rest are dropped. No callback: false, without
// touching the lock. At interpreter exit: true, without the callback.
bool report(PyObject* callback, std::string_view stage, std::size_t index, const session::scan::Progress& progress,
            bool* reported = nullptr);

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

}  // namespace vexlor::python
