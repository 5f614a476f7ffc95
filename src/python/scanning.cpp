#include "python/scanning.hpp"

#include <array>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "protocol/caps/film.hpp"
#include "protocol/data.hpp"
#include "protocol/decode.hpp"
#include "python/args.hpp"
#include "python/callables.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/interrupt.hpp"
#include "python/lock.hpp"
#include "python/session.hpp"
#include "scan/frame.hpp"
#include "scan/framing.hpp"
#include "scan/window.hpp"
#include "session/session.hpp"
#include "try.hpp"

namespace nb = nanobind;

namespace vexlor::python {

namespace {

bool bool_arg(const char* function, const char* argument, PyObject* value, bool absent) {
    if (!value) return absent;
    if (!PyBool_Check(value)) type_error(function, argument, "bool", value);
    return value == Py_True;
}

protocol::data::Rect frame_from(const char* function, nb::handle value) {
    if (!PyTuple_Check(value.ptr())) type_error(function, "frame", "tuple", value);
    const Py_ssize_t n = PyTuple_GET_SIZE(value.ptr());
    if (n != 4) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): argument 'frame' must be a tuple of 4 ints (top, left, bottom, right), not of %zd", function, n);
        throw nb::python_error();
    }
    std::array<std::uint32_t, 4> v{};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        v[static_cast<std::size_t>(i)] = unsigned_as<std::uint32_t>(function, "frame", PyTuple_GET_ITEM(value.ptr(), i));
    }
    if (v[0] >= v[2] || v[1] >= v[3]) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): argument 'frame' must have top above bottom and left before right, not (%u, %u, %u, %u)",
                     function, v[0], v[1], v[2], v[3]);
        throw nb::python_error();
    }
    return {v[0], v[1], v[2], v[3]};
}

// None stands for a callback not given; anything else must be callable.
nb::object callback_arg(const char* function, PyObject* value) {
    if (!value || value == Py_None) return nb::object();
    if (!PyCallable_Check(value)) type_error(function, "progress", "callable or None", value);
    return nb::borrow(value);
}

std::string focused_name(scan::focus::Focused f) {
    switch (f) {
        case scan::focus::Focused::Focused: return "focused";
        case scan::focus::Focused::NotReached: return "not_reached";
        case scan::focus::Focused::Skipped: return "skipped";
    }
    return "skipped";
}

// Each colour plane paired with its channel, in window order.
Arrays colour_arrays(const protocol::image::Layout& layout, std::vector<std::vector<std::uint16_t>>& planes,
                     std::size_t rows, std::size_t cols) {
    const auto codes = layout.colors();
    if (codes.size() != planes.size()) {
        raise_message(PyExc_RuntimeError, "the pass has " + std::to_string(planes.size()) + " colour planes for " +
                                              std::to_string(codes.size()) + " colour channels");
    }
    Arrays out;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        out.emplace_back(channel_name(codes[i].byte()), plane_to_numpy(std::move(planes[i]), rows, cols));
    }
    return out;
}

std::vector<std::pair<std::string, std::uint32_t>> named(const scan::autoexpose::Exposures& e) {
    std::vector<std::pair<std::string, std::uint32_t>> out;
    for (const auto& [channel, time] : e.iter()) out.emplace_back(channel_name(channel.byte()), time);
    return out;
}

template <class Pairs>
nb::dict to_dict(const Pairs& pairs) {
    nb::dict d;
    for (const auto& [key, value] : pairs) d[nb::str(key.data(), key.size())] = nb::cast(value);
    return d;
}

// With the interpreter lock, before the first array is made: a signal that came as the pass ended
// is raised as itself, and importing NumPy (which runs Python code, where a pending signal raises)
// happens here, where such an exception is kept for the caller rather than turned into another.
error::Result<void> ready_for_arrays() {
    Interrupt* interrupt = current_interrupt();
    if (interrupt && interrupt->check_held()) return std::unexpected(error::Error::cancelled());
    if (interrupt == nullptr && PyErr_CheckSignals() != 0) throw nb::python_error();
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) {
        if (interrupt && !PyErr_ExceptionMatches(PyExc_Exception) && interrupt->keep_if_fatal()) {
            return std::unexpected(error::Error::cancelled());
        }
        throw nb::python_error();
    }
    Py_DECREF(numpy);
    return {};
}

// Imported before the unit starts a pass, never after: importing NumPy under memory pressure can
// end the process (its linear-algebra library exits when it cannot get its buffers), which must
// not happen to a pass already read. A failure raises here, before anything is sent.
void numpy_ready() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) throw nb::python_error();
    Py_DECREF(numpy);
}

// The frame operations answer their progress through report(); the callback is borrowed for the call.
struct Bridge {
    PyObject* callback;
    bool* reported;  // the call's first exception from the callback went to sys.unraisablehook
    bool operator()(std::string_view stage, std::size_t index, const session::scan::Progress& p) const {
        return report(callback, stage, index, p, reported);
    }
};

}  // namespace

namespace {

constexpr const char* arrays_sig = "dict[str, numpy.typing.NDArray[numpy.uint16]]";

nb::dict arrays_dict(const Arrays& arrays) {
    nb::dict d;
    for (const auto& [key, array] : arrays) d[nb::str(key.data(), key.size())] = array;
    return d;
}

}  // namespace

void add_scan_result_class(nb::module_& m) {
    if (add_existing_class<ScanResult>(m, "ScanResult")) return;
    auto cls = class_without_constructor<ScanResult>(m, "ScanResult", "What one frame's scan produced");
    cls
        .def_prop_ro(
            "colors", [](const ScanResult& r) { return arrays_dict(r.colors); },
            nb::sig(std::string("def colors(self) -> ").append(arrays_sig).c_str()),
            "One array per captured channel, keyed by name (\"red\", \"green\", \"blue\", ...)")
        .def_prop_ro(
            "ir", [](const ScanResult& r) { return r.ir; },
            nb::sig("def ir(self) -> numpy.typing.NDArray[numpy.uint16] | None"),
            "The infrared plane, where the recipe asked for it")
        .def_ro("dpi", &ScanResult::dpi)
        .def_ro("rows", &ScanResult::rows)
        .def_ro("cols", &ScanResult::cols)
        .def_prop_ro(
            "exposures", [](const ScanResult& r) { return to_dict(r.exposures); },
            nb::sig("def exposures(self) -> dict[str, int]"),
            "What the frame was exposed at, keyed the same way as `colors`")
        .def_ro("cleaned", &ScanResult::cleaned, "Pixels dust removal rebuilt, where asked for")
        .def_ro("complete", &ScanResult::complete,
                "True if all blocks of the pass arrived. If this is false, the planes\n"
                "contain data only for the blocks in `blocks`")
        .def_ro("blocks", &ScanResult::blocks, "The number of blocks of the pass that arrived")
        .def_ro("focused", &ScanResult::focused,
                "The focus result:\n"
                "\"focused\": the unit reached focus or the lens moved to the position;\n"
                "\"not_reached\": autofocus did not reach focus and the scan continued at the last lens position;\n"
                "\"skipped\": `focus` was \"hold\" and the lens did not move")
        .def_ro("focus_position", &ScanResult::focus_position,
                "The lens position during the pass. `None` if the unit does not report it");
    without_docstrings(cls, {"dpi", "rows", "cols"});
}

void add_discovery_class(nb::module_& m) {
    if (add_existing_class<Discovery>(m, "Discovery")) return;
    auto cls = class_without_constructor<Discovery>(m, "Discovery", "What discovery found");
    cls
        .def_ro("frames", &Discovery::frames)
        .def_prop_ro(
            "thumbnail",
            [](const Discovery& d) -> nb::object {
                if (!d.thumbnail) return nb::none();
                return arrays_dict(*d.thumbnail);
            },
            nb::sig(std::string("def thumbnail(self) -> ").append(arrays_sig).append(" | None").c_str()),
            "One array per channel, keyed the way `ScanResult.colors` is; `None`\n"
            "where the mechanism that found `frames` needed no thumbnail pass")
        .def_ro("addresses_per_column", &Discovery::addresses_per_column,
                "Feed addresses one column of `thumbnail` spans\n"
                "\n"
                "Use it to carry a rectangle drawn on the thumbnail onto the film; do\n"
                "not compute it as `optical_dpi / thumbnail_dpi`: the film does not keep\n"
                "to the thumbnail resolution the unit reports, and the error grows along\n"
                "the strip. It is measured per pass, so read it from each discovery.\n"
                "`None` where the mechanism took no thumbnail")
        .def_ro("contrast", &Discovery::contrast,
                "The quality of the frame fit on the thumbnail. A higher value means\n"
                "more detail in the frames, less detail in the gaps, and more similar\n"
                "gaps\n"
                "\n"
                "Compare values only between strips on the same unit. `None` without a\n"
                "thumbnail or when the fit found no frames")
        .def_ro("thumbnail_complete", &Discovery::thumbnail_complete,
                "True if all blocks of the thumbnail pass arrived. `None` if there is no\n"
                "thumbnail")
        .def_ro("thumbnail_blocks", &Discovery::thumbnail_blocks,
                "The number of blocks of the thumbnail pass that arrived. `None` if there\n"
                "is no thumbnail");
    without_docstrings(cls, {"frames"});
}

// The methods convert every argument with the interpreter lock held before the session is touched.

PyObject* discover_frames(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"format", "progress", nullptr};
        PyObject *format = Py_None, *progress = Py_None;
        parse_args(args, kwargs, "|OO:discover_frames", names, &format, &progress);
        std::optional<protocol::caps::film::FilmFormat> film_format;
        if (format != Py_None) {
            auto parsed = protocol::caps::film::FilmFormat::parse(str_arg("discover_frames", "format", format));
            if (!parsed) raise_message(PyExc_ValueError, parsed.error());
            film_format = *parsed;
        }
        const nb::object callback = callback_arg("discover_frames", progress);
        bool reported = false;
        const Bridge bridge{callback.ptr(), &reported};
        numpy_ready();
        struct Found {
            scan::framing::Discovered discovered;
            protocol::decode::Samples samples;
        };
        Found found = instance<PySession>(self).with([&](session::Session& z) -> error::Result<Found> {
            Found f;
            VX_TRY(f.discovered, scan::framing::discover_with(z, film_format, f.samples, [&](const session::scan::Progress& p) {
                return bridge("discover", 0, p);
            }));
            return f;
        });
        const auto& d = found.discovered;
        // Outside a call there is no interrupt to keep it: what Python raised is thrown.
        if (d.thumbnail) static_cast<void>(ready_for_arrays());
        Discovery out;
        for (const auto& r : d.frames) out.frames.emplace_back(r.top, r.left, r.bottom, r.right);
        if (d.thumbnail) {
            out.thumbnail = colour_arrays(d.thumbnail->started.layout, found.samples.planes, d.thumbnail->rows, d.thumbnail->cols);
            out.thumbnail_complete = d.thumbnail->complete;
            out.thumbnail_blocks = d.thumbnail->blocks;
        }
        if (d.pitch) {
            const auto columns = d.pitch->columns == 0 ? 1 : d.pitch->columns;
            out.addresses_per_column = static_cast<double>(d.pitch->addresses) / static_cast<double>(columns);
        }
        out.contrast = d.contrast;
        return nb::cast(std::move(out));
    });
}

PyObject* scan_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"frame",    "dpi",       "samples", "superfine", "infrared", "clean",
                                            "lock_white_balance", "exposures", "focus",   "progress",  nullptr};
        PyObject *frame = nullptr, *dpi = Py_None, *samples = nullptr, *superfine = nullptr, *infrared = nullptr,
                 *clean = nullptr, *lock = nullptr, *exposures = Py_None, *focus = Py_None, *progress = Py_None;
        parse_args(args, kwargs, "O|OOOOOOOOO:scan_frame", names, &frame, &dpi, &samples, &superfine, &infrared, &clean, &lock,
                   &exposures, &focus, &progress);
        const auto rect = frame_from("scan_frame", frame);
        const auto d = optional_unsigned_as<std::uint16_t>("scan_frame", "dpi", dpi);
        const auto readings = samples ? unsigned_as<std::uint8_t>("scan_frame", "samples", samples) : std::uint8_t{1};
        const bool fine = bool_arg("scan_frame", "superfine", superfine, false);
        const bool ir = bool_arg("scan_frame", "infrared", infrared, false);
        const bool cleaning = bool_arg("scan_frame", "clean", clean, false);
        const bool locked = bool_arg("scan_frame", "lock_white_balance", lock, true);
        std::optional<scan::autoexpose::Exposures> given;
        if (exposures != Py_None) given = exposures_from("scan_frame", exposures);
        const auto request = focus_from(focus);
        const nb::object callback = callback_arg("scan_frame", progress);
        bool reported = false;
        const Bridge bridge{callback.ptr(), &reported};
        numpy_ready();

        PyObject* made = instance<PySession>(self).with([&](session::Session& z) -> error::Result<PyObject*> {
            const auto& caps = z.caps;
            const std::uint16_t resolution = d.value_or(caps.address.x.optical_dpi);
            const scan::window::Recipe recipe{resolution, readings, scan::window::interleaving_for(caps, resolution, fine),
                                              ir || cleaning};
            VX_CHECK(recipe.supported(caps));
            const scan::frame::ScanOptions options{given ? &*given : nullptr, request, locked, cleaning,
                                                   &instance<PySession>(self).dust_workspace()};
            protocol::decode::Samples planes;
            VX_TRY(auto scanned, scan::frame::scan_frame_with(z, recipe, rect, options, planes,
                                                              [&](const scan::frame::Stage& stage, const session::scan::Progress& p) {
                                                                  if (const auto* m = std::get_if<scan::frame::Stage::Meter>(&stage.value)) {
                                                                      return bridge("meter", m->pass, p);
                                                                  }
                                                                  return bridge("scan", 0, p);
                                                              }));
            // The result is built while the session is still held, as the caller's exception would be.
            Acquired gil;
            if (!gil.held()) return std::unexpected(error::Error::cancelled());  // interpreter exit
            VX_CHECK(ready_for_arrays());
            const auto& pass = scanned.pass;
            ScanResult r;
            r.colors = colour_arrays(pass.started.layout, planes.planes, pass.rows, pass.cols);
            r.ir = planes.infrared ? plane_to_numpy(std::move(*planes.infrared), pass.rows, pass.cols) : nb::none();
            r.dpi = pass.started.layout.dpi;
            r.rows = pass.rows;
            r.cols = pass.cols;
            r.exposures = named(scanned.exposures);
            r.cleaned = scanned.cleaned;
            r.complete = pass.complete;
            r.blocks = pass.blocks;
            r.focused = focused_name(scanned.focused);
            r.focus_position = scanned.focus_position;
            return nb::cast(std::move(r)).release().ptr();
        });
        return nb::steal(made);
    });
}

PyObject* meter_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"frame", "infrared", "lock_white_balance", "progress", nullptr};
        PyObject *frame = nullptr, *infrared = nullptr, *lock = nullptr, *progress = Py_None;
        parse_args(args, kwargs, "O|OOO:meter_frame", names, &frame, &infrared, &lock, &progress);
        const auto rect = frame_from("meter_frame", frame);
        const bool ir = bool_arg("meter_frame", "infrared", infrared, false);
        const bool locked = bool_arg("meter_frame", "lock_white_balance", lock, true);
        const nb::object callback = callback_arg("meter_frame", progress);
        bool reported = false;
        const Bridge bridge{callback.ptr(), &reported};
        const auto metered = instance<PySession>(self).with(
            [&](session::Session& z) -> error::Result<std::vector<std::pair<std::string, std::uint32_t>>> {
                const auto& caps = z.caps;
                const std::uint16_t resolution = caps.address.x.optical_dpi;
                const scan::window::Recipe recipe{resolution, 1, scan::window::interleaving_for(caps, resolution, false), ir};
                VX_TRY(const auto exposures,
                       scan::frame::meter_frame_with(z, recipe, rect, locked, [&](std::size_t pass, const session::scan::Progress& p) {
                           return bridge("meter", pass, p);
                       }));
                return named(exposures);
            });
        return nb::object(to_dict(metered));
    });
}

PyObject* focus_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"frame", "focus", nullptr};
        PyObject *frame = nullptr, *focus = Py_None;
        parse_args(args, kwargs, "O|O:focus_frame", names, &frame, &focus);
        const auto rect = frame_from("focus_frame", frame);
        const auto request = focus_from(focus);
        const auto [focused, position] = instance<PySession>(self).with(
            [&](session::Session& z) { return scan::frame::focus_frame(z, rect, request); });
        return nb::object(nb::make_tuple(focused_name(focused), position));
    });
}

const char* const discover_frames_doc =
    "discover_frames($self, format=None, progress=None)\n--\n\n"
    "Find every frame on whatever is loaded\n"
    "\n"
    "`format` names the film format (\"135\", \"half\", \"IX240\", \"16\", \"645\",\n"
    "\"66\", \"67\", \"68\", \"69\", or a frame length in millimetres as a string).\n"
    "Only the two of the four discovery mechanisms that take a thumbnail\n"
    "pass ask for it, and only where the loaded holder does not fix it, so\n"
    "it can usually be left None. The film's polarity is not asked for: a\n"
    "frame is found by the bare film between frames.\n"
    "\n"
    "`Discovery.thumbnail` is what to show an operator who wants to move a\n"
    "frame by hand, since `scan_frame` accepts any rectangle.";

const char* const scan_frame_doc =
    "scan_frame($self, frame, dpi=None, samples=1, superfine=False, infrared=False, clean=False, "
    "lock_white_balance=True, exposures=None, focus=None, progress=None)\n--\n\n"
    "Focus, meter, take the pass over `frame`, and optionally clean it\n"
    "\n"
    "`frame` is one of `discover_frames`'s rectangles, or one of them moved\n"
    "or cropped; the pass covers that rectangle. On a unit that positions\n"
    "film by its own frame table, the rectangle is entered in that table\n"
    "first. `exposures`, keyed like `ScanResult.exposures`, reuses an\n"
    "exposure decided earlier instead of metering the frame. `focus` is as\n"
    "for `focus_frame`, \"hold\" scanning at the focus `focus_frame` set.";

const char* const meter_frame_doc =
    "meter_frame($self, frame, infrared=False, lock_white_balance=True, progress=None)\n--\n\n"
    "Meter `frame` and answer the exposures `scan_frame` would scan it at\n"
    "\n"
    "This is the metering `scan_frame` runs when not handed `exposures`,\n"
    "without the pass after it. Handing the result to `scan_frame` exposes\n"
    "any frame the way this one would be. `infrared` meters for a scan that\n"
    "takes the infrared plane or cleans (the result then carries that\n"
    "channel); `lock_white_balance` is `scan_frame`'s.";

const char* const focus_frame_doc =
    "focus_frame($self, frame, focus=None)\n--\n\n"
    "Focus on `frame` without metering or scanning it\n"
    "\n"
    "`focus` is one of:\n"
    "    None or \"auto\": the unit focuses on the centre of the frame;\n"
    "    (x, y): on that point, each a fraction of the frame size;\n"
    "    an int: the lens moves there, which must be in\n"
    "        `Capabilities.focus_range`;\n"
    "    \"hold\": the lens does not move.\n"
    "To scan at this focus, pass \"hold\" to `scan_frame`.";

}  // namespace vexlor::python
