#include "python/icc.hpp"

#include <nanobind/stl/string.h>

#include "python/args.hpp"
#include "python/callables.hpp"
#include "python/session.hpp"
#include "session/session.hpp"

namespace nb = nanobind;

namespace vexlor::python::icc {

std::optional<std::span<const unsigned char>> profile(std::optional<protocol::model::Model> model, scan::profile::Film film) {
    if (!model) return std::nullopt;
    using protocol::model::Model;
    std::size_t set = 0;
    switch (*model) {
        case Model::Ls40:
        case Model::Ls4000: set = 0; break;
        case Model::Ls50:
        case Model::Ls5000: set = 1; break;
        case Model::Ls8000: set = 2; break;
        case Model::Ls9000: set = 3; break;
    }
    const Slot& slot = profiles[set][static_cast<std::size_t>(film)];
    if (!slot.data) return std::nullopt;
    return std::span<const unsigned char>(slot.data, slot.size);
}

PyObject* icc_profile(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> nb::object {
        static const char* const names[] = {"film", nullptr};
        PyObject* film = nullptr;
        parse_args(args, kwargs, "O:icc_profile", names, &film);
        const auto parsed = scan::profile::film_from_str(str_arg("icc_profile", "film", film));
        if (!parsed) raise_message(PyExc_RuntimeError, parsed.error());
        const auto model = instance<PySession>(self).with([](session::Session& z) -> error::Result<std::optional<protocol::model::Model>> {
            return protocol::model::from_product(z.caps.identity.product);
        });
        const auto bytes = profile(model, *parsed);
        if (!bytes) return nb::none();
        return nb::bytes(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    });
}

const char* const icc_profile_doc =
    "icc_profile($self, film)\n--\n\n"
    "The ICC profile for this unit and `film`, as the bytes of the .icc file\n"
    "\n"
    "`film` is \"positive\" (or \"slide\"), \"negative\", \"kodachrome\" or \"mono\".\n"
    "Returns None when there is no profile for this unit and film.";

}  // namespace vexlor::python::icc
