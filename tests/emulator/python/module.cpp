// The emulated unit for the Python tests. Run the interpreter under umockdev-wrapper, and make
// the testbed (and its devices) before the module under test first enumerates USB.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
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

}  // namespace

NB_MODULE(vexlor_emulator, m) {
    m.doc() =
        "Emulated scanner units behind faked device nodes (umockdev), for the Python tests.\n\n"
        "Run under umockdev-wrapper, one Testbed per process, made before vexlor first lists devices:\n\n"
        "    bed = vexlor_emulator.Testbed()\n"
        "    bed.add_usb(model, bus, ports, claimed=False, inquiry='ok', product=None)\n"
        "        model: 'LS-50' etc.; product id from the model unless product= is given;\n"
        "        claimed: the interface is held by another process; inquiry: 'ok', 'check'\n"
        "        (CHECK CONDITION) or 'short' (35 bytes of standard data)\n"
        "    bed.add_sg(name, model, device_type=6, qualifier=0, openable=True)\n"
        "        /dev/<name> answering SG_IO; model None: a unit whose product names no model\n"
        "    bed.remove_usb(bus, ports)   # unplug\n"
        "    bed.dev_dir()                # the faked /dev folder";

    nb::class_<emulator::Testbed>(m, "Testbed")
        .def(nb::init<>())
        .def(
            "add_usb",
            [](emulator::Testbed& bed, const std::string& model, int bus, std::vector<int> ports, bool claimed,
               const std::string& inquiry, std::optional<int> product) {
                const auto md = model_named(model);
                emulator::UsbOptions o;
                o.claimed = claimed;
                o.product = static_cast<std::uint16_t>(product.value_or(protocol::model::usb_product(md).value_or(0x4001)));
                auto unit = bed.add_usb(md, bus, std::move(ports), o);
                unit->set_inquiry(inquiry_named(inquiry));
            },
            nb::arg("model"), nb::arg("bus"), nb::arg("ports"), nb::arg("claimed") = false, nb::arg("inquiry") = "ok",
            nb::arg("product") = nb::none())
        .def(
            "add_sg",
            [](emulator::Testbed& bed, const std::string& name, std::optional<std::string> model, int device_type, int qualifier,
               bool openable) {
                std::optional<protocol::model::Model> md;
                if (model) md = model_named(*model);
                emulator::SgOptions o;
                o.openable = openable;
                auto unit = bed.add_sg(name, md, o);
                unit->set_device_type(static_cast<std::uint8_t>(device_type));
                unit->set_qualifier(static_cast<std::uint8_t>(qualifier));
            },
            nb::arg("name"), nb::arg("model").none(), nb::arg("device_type") = 6, nb::arg("qualifier") = 0,
            nb::arg("openable") = true)
        .def("remove_usb", &emulator::Testbed::remove_usb, nb::arg("bus"), nb::arg("ports"))
        .def("dev_dir", &emulator::Testbed::dev_dir);
}
