// The module's ICC input profiles: one set per group of unit models, one slot per film type.
// The bytes are generated at build time (tools/icc) and compiled in.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include <nanobind/nanobind.h>

#include "protocol/model.hpp"
#include "scan/profile.hpp"

namespace vexlor::python::icc {

struct Slot {
    const unsigned char* data;  // null for an empty slot
    std::size_t size;
};

// By set (LS-40 and LS-4000, LS-50 and LS-5000, LS-8000, LS-9000), then by film in the order
// of scan::profile::Film.
extern const Slot profiles[4][4];

// The profile for a unit model and film; none for an unknown model or an empty slot.
std::optional<std::span<const unsigned char>> profile(std::optional<protocol::model::Model> model, scan::profile::Film film);

// Session.icc_profile, for its method table.
PyObject* icc_profile(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const icc_profile_doc;

}  // namespace vexlor::python::icc
