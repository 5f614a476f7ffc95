// The emulated unit for the Python tests. Run the interpreter under umockdev-wrapper, and make
// the testbed (and its devices) before the module under test first enumerates USB.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

#include "emulator/testbed.hpp"
#include "text.hpp"

namespace nb = nanobind;
using namespace vexlor;

namespace {

protocol::model::Model model_named(const std::string& text) {
    for (auto m : {protocol::model::Model::Ls40, protocol::model::Model::Ls50, protocol::model::Model::Ls4000,
                   protocol::model::Model::Ls5000, protocol::model::Model::Ls8000, protocol::model::Model::Ls9000}) {
        if (text::equal_ignoring_ascii_case(protocol::model::name(m), text)) return m;
    }
    throw nb::value_error(("unknown model " + text).c_str());
}

emulator::Unit::Inquiry inquiry_named(const std::string& s) {
    if (s == "ok") return emulator::Unit::Inquiry::Ok;
    if (s == "check") return emulator::Unit::Inquiry::Check;
    if (s == "short") return emulator::Unit::Inquiry::Short;
    throw nb::value_error("inquiry must be \"ok\", \"check\" or \"short\"");
}

emulator::Unit::Refusal refusal_named(const std::string& s) {
    if (s == "opcode") return emulator::Unit::Refusal::Opcode;
    if (s == "sequence") return emulator::Unit::Refusal::Sequence;
    if (s == "field") return emulator::Unit::Refusal::Field;
    throw nb::value_error("how must be \"opcode\", \"sequence\" or \"field\"");
}

nb::bytes to_bytes(std::span<const std::uint8_t> b) { return nb::bytes(reinterpret_cast<const char*>(b.data()), b.size()); }

std::vector<std::uint8_t> from_bytes(const nb::bytes& b) {
    const auto* p = static_cast<const std::uint8_t*>(b.data());
    return {p, p + b.size()};
}

// The testbed as Python holds it. Python may drop it at exit before a session still open on one
// of its nodes, whose release would then wait forever on a handler that is gone: a testbed still
// in use is left running for the process's last commands.
struct Bed {
    std::unique_ptr<emulator::Testbed> bed = std::make_unique<emulator::Testbed>();
    ~Bed() {
        if (bed->in_use()) static_cast<void>(bed.release());
    }
};


const char* mark_name(emulator::film::Mark m) {
    switch (m) {
        case emulator::film::Mark::Dust: return "dust";
        case emulator::film::Mark::Hair: return "hair";
        case emulator::film::Mark::Scratch: return "scratch";
    }
    return "dust";
}

emulator::film::Mark mark_named(const std::string& s) {
    if (s == "dust") return emulator::film::Mark::Dust;
    if (s == "hair") return emulator::film::Mark::Hair;
    if (s == "scratch") return emulator::film::Mark::Scratch;
    throw nb::value_error("mark must be \"dust\", \"hair\" or \"scratch\"");
}

nb::dict film_dict(const emulator::film::Film& f) {
    nb::dict d;
    d["base"] = f.base == emulator::film::Base::Clear ? "clear" : "dark";
    d["left"] = f.left;
    d["right"] = f.right;
    d["start"] = f.start;
    d["end"] = f.end;
    nb::list frames;
    for (const auto& fr : f.frames) {
        nb::dict x;
        x["top"] = fr.top;
        x["length"] = fr.length;
        x["left"] = fr.left;
        x["width"] = fr.width;
        x["density"] = fr.density;
        x["picture"] = fr.picture == emulator::film::Picture::Scene ? "scene" : "pattern";
        frames.append(x);
    }
    d["frames"] = frames;
    d["perforations"] = nb::cast(f.perforations);
    nb::list specks;
    for (const auto& sp : f.specks) {
        nb::dict x;
        x["mark"] = mark_name(sp.mark);
        x["x"] = sp.x;
        x["y"] = sp.y;
        x["size"] = sp.size;
        specks.append(x);
    }
    d["specks"] = specks;
    d["seed"] = f.seed;
    return d;
}

std::shared_ptr<const emulator::render::Stream> last_pass(const emulator::Unit& u) {
    auto pass = u.pass();
    if (!pass) throw nb::value_error("the unit has started no pass");
    return pass;
}

nb::dict layout_dict(const emulator::render::Stream& pass) {
    const auto& l = pass.layout();
    nb::dict d;
    d["pixels"] = l.pixels;
    d["lines"] = l.lines;
    std::vector<int> channels;
    for (const auto& c : l.channels) channels.push_back(c.byte());
    d["channels"] = nb::cast(channels);
    d["x_pitch"] = l.x_pitch;
    d["y_pitch"] = l.y_pitch;
    d["dpi"] = l.dpi;
    d["bits"] = l.bits;
    d["readings"] = l.readings;
    d["origin"] = nb::make_tuple(pass.film_x(0), pass.film_y(0));
    d["total"] = pass.total();
    d["sent"] = pass.sent();
    // Rows read at once differ in gain; the host's curves take it out only approximately.
    d["corrected"] = pass.row_gain(0) != 1000;
    return d;
}

// One window's samples as the host holds them after the pass: row r is pixel (pixels - 1 - r)
// across the line, column c is line c; scaled from the pass's depth to 16 bits unless not asked.
nb::bytes plane_bytes(const emulator::render::Stream& pass, std::size_t w, bool full_scale) {
    const auto& l = pass.layout();
    if (w >= l.channels.size()) throw nb::index_error("no such window in the pass");
    const std::uint32_t rows = l.pixels, cols = l.lines;
    const std::uint32_t m = !full_scale || l.bits == 0 || l.bits >= 16 ? 65535u : (1u << l.bits) - 1;
    std::vector<std::uint16_t> out(std::size_t{rows} * cols);
    for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t c = 0; c < cols; ++c) {
            const std::uint32_t v = pass.value(w, rows - 1 - r, c);
            out[std::size_t{r} * cols + c] = static_cast<std::uint16_t>((std::min(v, m) * 65535u + m / 2) / m);
        }
    }
    return nb::bytes(reinterpret_cast<const char*>(out.data()), out.size() * sizeof(std::uint16_t));
}

// Where the film under the pass carries a speck, one byte a sample in the plane's orientation.
nb::bytes marks_bytes(const emulator::render::Stream& pass, const emulator::film::Film& film) {
    const auto& l = pass.layout();
    const std::uint32_t rows = l.pixels, cols = l.lines;
    std::string out(std::size_t{rows} * cols, '\0');
    for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t c = 0; c < cols; ++c) {
            if (film.marked(pass.film_x(rows - 1 - r), pass.film_y(c), pass.sensor().x_pitch, pass.sensor().y_pitch)) {
                out[std::size_t{r} * cols + c] = 1;
            }
        }
    }
    return nb::bytes(out.data(), out.size());
}
emulator::Stall stall_named(const std::string& how) {
    if (how == "data") return emulator::Stall::Data;
    if (how == "busy") return emulator::Stall::Busy;
    if (how == "silent") return emulator::Stall::Silent;
    throw nb::value_error("a stall is 'data', 'busy' or 'silent'");
}
}  // namespace

NB_MODULE(vexlor_emulator, m) {
    m.doc() =
        "Emulated scanner units behind faked device nodes (umockdev), for the Python tests.\n\n"
        "Run under umockdev-wrapper, one Testbed per process, made before vexlor first lists devices:\n\n"
        "    bed = vexlor_emulator.Testbed()\n"
        "    unit = bed.add_usb(model, bus, ports, claimed=False, inquiry='ok', product=None)\n"
        "        model: 'LS-50' etc.; product id from the model unless product= is given;\n"
        "        claimed: the interface is held by another process; inquiry: 'ok', 'check'\n"
        "        (CHECK CONDITION) or 'short' (35 bytes of standard data)\n"
        "    unit = bed.add_sg(name, model, device_type=6, qualifier=0, openable=True)\n"
        "        /dev/<name> taking SCSI generic requests; model None: a unit whose product names no model\n"
        "    bed.remove_usb(bus, ports)   # unplug\n"
        "    bed.dev_dir()                # the faked /dev folder\n\n"
        "A Unit keeps its state (loaded, waiting, scanning, focus, divisor, reserved, windows) and\n"
        "its command log (log()), and is scripted with not_ready, attention, cooperate, refuse,\n"
        "fail, adjust, takes, focus_found, set_page, set_record, drop_op, unplug, stall and script_image;\n"
        "show_scene() puts a landscape with dust on the first frame.\n"
        "film(), pass_layout(), pass_plane(i) and pass_marks() tell what the unit holds and meant.";

    nb::class_<emulator::Unit>(m, "Unit")
        .def_prop_ro("model", [](const emulator::Unit& u) { return std::string(protocol::model::name(u.model())); })
        .def(
            "log",
            [](const emulator::Unit& u, bool with_data) {
                nb::list out;
                for (const auto& l : u.log()) {
                    if (with_data) {
                        out.append(nb::make_tuple(to_bytes(l.cdb), to_bytes(l.out)));
                    } else {
                        out.append(to_bytes(l.cdb));
                    }
                }
                return out;
            },
            nb::arg("with_data") = false, "Every command the unit received: CDBs, or (CDB, data out) pairs")
        .def("opcodes", [](const emulator::Unit& u) {
            std::vector<int> out;
            for (const auto& c : u.received()) out.push_back(c.empty() ? -1 : c[0]);
            return out;
        })
        .def("set_device_type", [](emulator::Unit& u, int type) { u.set_device_type(static_cast<std::uint8_t>(type)); })
        .def_prop_ro("reserved", [](const emulator::Unit& u) { return u.reserved_by().has_value(); })
        .def("reserve_for_other", [](emulator::Unit& u) { u.set_reserved_by(u.connect()); },
             "Another host reserves the unit")
        .def_prop_rw("loaded", &emulator::Unit::loaded, &emulator::Unit::set_loaded)
        .def_prop_rw("waiting", &emulator::Unit::waiting, &emulator::Unit::set_waiting)
        .def_prop_rw("scanning", &emulator::Unit::scanning, &emulator::Unit::set_scanning)
        .def_prop_rw("focus", &emulator::Unit::focus, &emulator::Unit::set_focus)
        .def_prop_ro("divisor", &emulator::Unit::divisor)
        .def_prop_ro("focus_range", [](const emulator::Unit& u) {
            const auto v = u.values();
            return std::make_pair(int{v.address.focus_min}, int{v.address.focus_max});
        })
        .def_prop_ro("found_focus", [](const emulator::Unit& u) { return emulator::found_focus(u.values()); })
        .def("windows", [](const emulator::Unit& u) {
            nb::list out;
            for (const auto& w : u.windows()) out.append(to_bytes(w));
            return out;
        })
        .def("table", [](const emulator::Unit& u, int type) -> std::optional<nb::bytes> {
            auto t = u.table(static_cast<std::uint8_t>(type));
            if (!t) return std::nullopt;
            return to_bytes(*t);
        })
        .def(
            "not_ready",
            [](emulator::Unit& u, std::vector<std::pair<int, int>> spell) {
                std::vector<emulator::Spell> s;
                for (auto [activity, polls] : spell) s.push_back({static_cast<std::uint8_t>(activity), polls});
                u.not_ready(std::move(s));
            },
            nb::arg("spell"), "The next commands answer not ready: [(activity, polls), ...]")
        .def(
            "attention", [](emulator::Unit& u, int count, int asc, int ascq) {
                u.attention(count, static_cast<std::uint8_t>(asc), static_cast<std::uint8_t>(ascq));
            },
            nb::arg("count"), nb::arg("asc") = 0x29, nb::arg("ascq") = 0)
        .def_prop_ro("attentions_raised", &emulator::Unit::attentions_raised)
        .def(
            "cooperate",
            [](emulator::Unit& u, int opcode, const nb::bytes& record, int times) {
                u.cooperate(static_cast<std::uint8_t>(opcode), from_bytes(record), times);
            },
            nb::arg("opcode"), nb::arg("record"), nb::arg("times") = 1)
        .def_prop_ro("cooperation_reads", &emulator::Unit::cooperation_reads)
        .def(
            "refuse",
            [](emulator::Unit& u, int opcode, const std::string& how, int times) {
                u.refuse(static_cast<std::uint8_t>(opcode), refusal_named(how), times);
            },
            nb::arg("opcode"), nb::arg("how") = "opcode", nb::arg("times") = -1)
        .def(
            "fail",
            [](emulator::Unit& u, int opcode, int times, std::tuple<int, int, int> sense) {
                u.fail(static_cast<std::uint8_t>(opcode), times,
                       {static_cast<std::uint8_t>(std::get<0>(sense)), static_cast<std::uint8_t>(std::get<1>(sense)),
                        static_cast<std::uint8_t>(std::get<2>(sense))});
            },
            nb::arg("opcode"), nb::arg("times") = 1, nb::arg("sense") = std::make_tuple(4, 0x44, 0))
        .def(
            "adjust", [](emulator::Unit& u, int opcode, int times) { u.adjust(static_cast<std::uint8_t>(opcode), times); },
            nb::arg("opcode"), nb::arg("times") = 1)
        .def(
            "takes",
            [](emulator::Unit& u, int op, int polls, int activity) {
                u.takes(static_cast<std::uint8_t>(op), polls, static_cast<std::uint8_t>(activity));
            },
            nb::arg("op"), nb::arg("polls"), nb::arg("activity") = 1)
        .def(
            "mute",
            [](emulator::Unit& u, int times) {
                for (int i = 0; i < times; ++i) u.script(emulator::Fault{.silent_data = true});
            },
            nb::arg("times") = 1,
            "The next `times` commands (over USB) announce their data or status phase and never send it:\n"
            "the host waits out its time-out")
        .def("film", [](const emulator::Unit& u) { return film_dict(u.film()); },
             "The film in the holder: base, strip edges, frames, perforations and specks, as plain values")
        .def(
            "set_specks",
            [](emulator::Unit& u, const std::vector<std::tuple<std::string, std::uint32_t, std::uint32_t, std::uint32_t>>& specks) {
                auto f = u.film();
                f.specks.clear();
                for (const auto& [mark, x, y, size] : specks) f.specks.push_back({mark_named(mark), x, y, size});
                u.set_film(std::move(f));
            },
            nb::arg("specks"), "Replaces the film's specks: [(mark, x, y, size), ...], mark 'dust', 'hair' or 'scratch'")
        .def(
            "show_scene",
            [](emulator::Unit& u, std::size_t frame) {
                auto f = u.film();
                if (frame >= f.frames.size()) throw nb::index_error("the film has no such frame");
                emulator::film::show_scene(f, frame);
                u.set_film(std::move(f));
            },
            nb::arg("frame") = 0,
            "Turns the film into slides whose frame `frame` shows a landscape with dust on it (its only\n"
            "specks): a picture a person recognises, for trying the module out")
        .def("pass_layout", [](const emulator::Unit& u) { return layout_dict(*last_pass(u)); },
             "The layout of the last pass the unit started: pixels, lines, channels, pitches, dpi, bits, origin on the film")
        .def(
            "pass_plane",
            [](const emulator::Unit& u, std::size_t window, bool specks, bool full_scale) {
                const auto pass = last_pass(u);
                if (specks) return plane_bytes(*pass, window, full_scale);
                auto clean = u.film();
                clean.specks.clear();
                return plane_bytes(pass->over(std::make_shared<const emulator::film::Film>(std::move(clean))), window,
                                   full_scale);
            },
            nb::arg("window"), nb::arg("specks") = true, nb::arg("full_scale") = true,
            "What the unit meant for one window of the last pass (set order), as native uint16 bytes of a\n"
            "(pixels, lines) plane in the host's orientation, at 16 bits (full_scale=False: at the pass's\n"
            "depth); specks=False: as if the film had none")
        .def("pass_marks", [](const emulator::Unit& u) { return marks_bytes(*last_pass(u), u.film()); },
             "Where the last pass looks at a speck: one byte a sample, 1 where a speck covers any of it,\n"
             "in pass_plane's orientation")
        .def(
            "script_image",
            [](emulator::Unit& u, std::optional<std::uint64_t> end_at, bool ili, std::uint64_t surplus,
               std::optional<int> fail_at, std::optional<int> refused_at, std::optional<int> silent_at, double rate,
               int start_polls, std::optional<int> stall_at, const std::string& stall) {
                u.script_image({.end_at = end_at,
                                .ili = ili,
                                .surplus = surplus,
                                .fail_at = fail_at,
                                .refused_at = refused_at,
                                .silent_at = silent_at,
                                .rate = rate,
                                .start_polls = start_polls,
                                .stall_at = stall_at,
                                .stall = stall_named(stall)});
            },
            nb::arg("end_at") = nb::none(), nb::arg("ili") = false, nb::arg("surplus") = 0, nb::arg("fail_at") = nb::none(),
            nb::arg("refused_at") = nb::none(), nb::arg("silent_at") = nb::none(), nb::arg("rate") = 0.0,
            nb::arg("start_polls") = 0, nb::arg("stall_at") = nb::none(), nb::arg("stall") = "data",
            "Faults for the image READs of the passes to come (until replaced); from READ stall_at on the\n"
            "unit stalls: 'data' (announced, never sent), 'busy' (to every phase query), 'silent'\n"
            "(phase queries unanswered); over SG no reply comes until the request's own time-out")
        .def_prop_ro("image_reads", &emulator::Unit::image_reads, "Image READs received since the last SCAN")
        .def_prop_rw("focus_found", &emulator::Unit::focus_found, &emulator::Unit::set_focus_found)
        .def("set_page", [](emulator::Unit& u, int code, const nb::bytes& b) { u.set_page(static_cast<std::uint8_t>(code), from_bytes(b)); })
        .def("set_record",
             [](emulator::Unit& u, int type, const nb::bytes& b) { u.set_record(static_cast<std::uint8_t>(type), from_bytes(b)); })
        .def(
            "drop_op",
            [](emulator::Unit& u, int code) {
                if (code < 0x80 || code > 0xFF) throw nb::value_error("EXECUTE operations run from 80h to FFh");
                u.edit([code](emulator::ModelValues& v) {
                    v.features.execute_ops.words[(code >> 4) - 8] &= static_cast<std::uint16_t>(~(1u << (code & 15)));
                });
            },
            nb::arg("code"), "The unit no longer offers this EXECUTE operation (its features page says so)")
        .def(
            "stall",
            [](emulator::Unit& u, int opcode, const std::string& how, int times) {
                u.stall(static_cast<std::uint8_t>(opcode), stall_named(how), times);
            },
            nb::arg("opcode"), nb::arg("how") = "data", nb::arg("times") = -1,
            "The next `times` commands with this operation code stall (-1: for good), as script_image says")
        .def(
            "unplug", [](emulator::Unit& u, std::optional<int> at) {
                u.unplug(at ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(*at)) : std::nullopt);
            },
            nb::arg("at") = nb::none());

    nb::class_<Bed>(m, "Testbed")
        .def(nb::init<>())
        .def(
            "add_usb",
            [](Bed& b, const std::string& model, int bus, std::vector<int> ports, bool claimed,
               const std::string& inquiry, std::optional<int> product) {
                const auto md = model_named(model);
                emulator::UsbOptions o;
                o.claimed = claimed;
                o.product = static_cast<std::uint16_t>(product.value_or(protocol::model::usb_product(md).value_or(0x4001)));
                auto unit = b.bed->add_usb(md, bus, std::move(ports), o);
                unit->set_inquiry(inquiry_named(inquiry));
                return unit;
            },
            nb::arg("model"), nb::arg("bus"), nb::arg("ports"), nb::arg("claimed") = false, nb::arg("inquiry") = "ok",
            nb::arg("product") = nb::none())
        .def(
            "add_sg",
            [](Bed& b, const std::string& name, std::optional<std::string> model, int device_type, int qualifier,
               bool openable) {
                std::optional<protocol::model::Model> md;
                if (model) md = model_named(*model);
                emulator::SgOptions o;
                o.openable = openable;
                auto unit = b.bed->add_sg(name, md, o);
                unit->set_device_type(static_cast<std::uint8_t>(device_type));
                unit->set_qualifier(static_cast<std::uint8_t>(qualifier));
                return unit;
            },
            nb::arg("name"), nb::arg("model").none(), nb::arg("device_type") = 6, nb::arg("qualifier") = 0,
            nb::arg("openable") = true)
        .def("remove_usb", [](Bed& b, int bus, const std::vector<int>& ports) { b.bed->remove_usb(bus, ports); }, nb::arg("bus"),
             nb::arg("ports"))
        .def("dev_dir", [](const Bed& b) { return b.bed->dev_dir(); });
}
