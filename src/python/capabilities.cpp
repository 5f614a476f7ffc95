#include "python/capabilities.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "protocol/data.hpp"
#include "protocol/model.hpp"
#include "python/args.hpp"
#include "python/callables.hpp"
#include "python/classes.hpp"
#include "scan/framing.hpp"
#include "scan/profile.hpp"
#include "scan/window.hpp"

namespace nb = nanobind;

namespace vexlor::python {

namespace {

namespace sw = protocol::caps::set_window;
using Op = protocol::data::Op;

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}


PyObject* locks_white_balance(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"film", nullptr};
        PyObject* film = nullptr;
        parse_args(args, kwargs, "O:locks_white_balance", names, &film);
        const auto parsed = scan::profile::film_from_str(str_arg("locks_white_balance", "film", film));
        if (!parsed) raise_message(PyExc_RuntimeError, parsed.error());
        return nb::bool_(scan::profile::locks_white_balance(*parsed));
    });
}

PyMethodDef methods[] = {
    {"locks_white_balance", c_function(&locks_white_balance), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "locks_white_balance(film)\n--\n\n"
     "Whether this film type is metered with its channels held together\n"
     "\n"
     "This is the default a `lock_white_balance` control should start from.\n"
     "It depends on the film, not on the unit."},
};

}  // namespace

Capabilities Capabilities::of(const protocol::caps::Capabilities& caps) {
    const auto& a = caps.address;
    const auto& s = caps.set_window;
    Capabilities c;
    c.vendor = caps.identity.vendor;
    c.product = caps.identity.product;
    c.revision = caps.identity.revision;
    if (const auto m = protocol::model::from_product(caps.identity.product)) c.model = std::string(protocol::model::name(*m));
    c.x_dpi_range = {a.x.min_dpi, a.x.max_dpi};
    c.y_dpi_range = {a.y.min_dpi, a.y.max_dpi};
    c.optical_dpi = a.x.optical_dpi;
    c.max_frames = a.frames_per_holder;
    c.thumbnail_dpi = {a.thumbnail_dpi_min, a.thumbnail_dpi_max};
    c.focus_range = {a.focus_min, a.focus_max};
    c.max_samples = s.modes.contains(sw::mode::MULTI_READING) ? scan::window::MAX_READINGS : 1;
    const auto framing = scan::framing::choose(caps);
    c.framing = scan::framing::python_name(framing);
    c.thumbnail = framing == scan::framing::Framing::Thumbnail || framing == scan::framing::Framing::Perforation;
    c.multi_line = a.ccd_lines >= 2 && s.interleavings.contains(sw::interleaving::MULTILINE_SIMULTANEOUS);
    c.eject = caps.features.execute_ops.offers(Op::of(Op::Kind::Unload).code());
    c.autofocus = caps.features.execute_ops.offers(Op::of(Op::Kind::AutoFocus).code());
    c.hardware_metering = s.kinds.contains(sw::kind::AE) || s.kinds.contains(sw::kind::AE_WB);
    for (const auto& [name, bit] : sw::ColorInterleavingTag::names) {
        if (s.interleavings.contains(sw::ColorInterleaving::from_bits_retain(bit))) {
            c.interleavings.push_back(ascii_lower(name));
        }
    }
    return c;
}

void add_capabilities_class(nb::module_& m) {
    if (add_existing_class<Capabilities>(m, "Capabilities")) return;
    auto cls = class_without_constructor<Capabilities>(
        m, "Capabilities",
        "What the scanner says it can do, projected down to what a caller needs\n"
        "to place a scan. Grows as bindings turn up a real need for more of it");
    cls.def_ro("vendor", &Capabilities::vendor)
        .def_ro("product", &Capabilities::product)
        .def_ro("revision", &Capabilities::revision)
        .def_ro("model", &Capabilities::model)
        .def_ro("x_dpi_range", &Capabilities::x_dpi_range)
        .def_ro("y_dpi_range", &Capabilities::y_dpi_range)
        .def_ro("optical_dpi", &Capabilities::optical_dpi)
        .def_ro("max_frames", &Capabilities::max_frames,
                "Frames the loaded holder can hold, 0 where the unit publishes no table")
        .def_ro("thumbnail_dpi", &Capabilities::thumbnail_dpi,
                "The thumbnail pass's resolution range, empty where there is no thumbnail")
        .def_ro("focus_range", &Capabilities::focus_range, "Focus positions the unit accepts")
        .def_ro("max_samples", &Capabilities::max_samples,
                "Most readings of one line a pass may ask for. 1 where the unit reads a\n"
                "line one time, so a multi-sample control can be hidden")
        .def_ro("framing", &Capabilities::framing,
                "How this unit finds frames: \"published\", \"thumbnail\", \"perforation\"\n"
                "or \"address\". Only the middle two take a thumbnail pass")
        .def_ro("thumbnail", &Capabilities::thumbnail,
                "Whether a thumbnail pass happens at all, and so whether a caller can\n"
                "offer to keep it")
        .def_ro("multi_line", &Capabilities::multi_line,
                "Whether the CCD can read its lines at once. False means a \"superfine\"\n"
                "control has nothing to switch")
        .def_ro("eject", &Capabilities::eject, "Whether the unit can give the medium back on its own")
        .def_ro("autofocus", &Capabilities::autofocus, "Whether the unit focuses itself")
        .def_ro("hardware_metering", &Capabilities::hardware_metering,
                "Whether the unit runs an AE pass itself. False on every unit seen, an\n"
                "LS-9000 included, so metering is host-side and the white-balance\n"
                "controls are what decide it")
        .def_ro("interleavings", &Capabilities::interleavings, "The reading modes this unit offers, by name");
    without_docstrings(cls, {"vendor", "product", "revision", "model", "x_dpi_range", "y_dpi_range", "optical_dpi"});
    add_methods(cls, methods);
}

}  // namespace vexlor::python
