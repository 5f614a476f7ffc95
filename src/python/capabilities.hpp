// vexlor.Capabilities: a fixed snapshot of what the unit said about itself, projected down to
// what a caller needs to place a scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>

#include "protocol/caps/caps.hpp"

namespace vexlor::python {

struct Capabilities {
    std::string vendor;
    std::string product;
    std::string revision;
    std::optional<std::string> model;
    std::pair<std::uint16_t, std::uint16_t> x_dpi_range;
    std::pair<std::uint16_t, std::uint16_t> y_dpi_range;
    std::uint16_t optical_dpi = 0;
    std::uint8_t max_frames = 0;
    std::pair<std::uint16_t, std::uint16_t> thumbnail_dpi;
    std::pair<std::uint16_t, std::uint16_t> focus_range;
    std::uint8_t max_samples = 1;
    std::string framing;
    bool thumbnail = false;
    bool multi_line = false;
    bool eject = false;
    bool autofocus = false;
    bool hardware_metering = false;
    std::vector<std::string> interleavings;

    static Capabilities of(const protocol::caps::Capabilities& caps);
};

void add_capabilities_class(nanobind::module_& m);

}  // namespace vexlor::python
