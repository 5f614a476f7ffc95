// The pages and records each emulated model publishes, built by the emulator's own encoder.
//
// `model_values` gives the values a model means its pages to carry, as the module's records; the
// pages are encoded from them here, independently of the module's parsers, so tests can check
// that the parsers read back exactly what the emulator meant.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/caps/address.hpp"
#include "protocol/caps/ccd.hpp"
#include "protocol/caps/frames.hpp"
#include "protocol/caps/other.hpp"
#include "protocol/caps/set_window.hpp"
#include "protocol/data.hpp"
#include "protocol/model.hpp"

namespace vexlor::emulator {

struct ModelValues {
    protocol::model::Model model;
    // Every flag field of the model's pages is written at least this many bytes long.
    std::size_t flag_width = 1;

    protocol::caps::address::Address address;  // VPD C1
    bool carries_ccd_geometry = true;          // C1 ends with line_gap and ccd_lines

    protocol::caps::set_window::SetWindowFunction set_window;  // VPD D1
    std::uint8_t skipped = 0;                                   // D1 count of uninterpreted bytes
    std::uint8_t exposure_width = 4;                            // D1 parameter width (1..4)

    protocol::caps::other::Features features;  // VPD E1; page_length is what the encoder writes

    std::optional<protocol::caps::ccd::CcdMeasurement> ccd;  // VPD E3; none: the page is refused
    std::optional<protocol::caps::frames::Frames> frames;    // VPD C8, on models whose C1 sets 0x40
};

const ModelValues& model_values(protocol::model::Model model);

// The VPD page `code` built from `meant`, or none when such a unit refuses it.
std::optional<std::vector<std::uint8_t>> page_of(const ModelValues& meant, std::uint8_t code);

// The VPD page `code` as the model answers INQUIRY with EVPD set, or none when it refuses it.
std::optional<std::vector<std::uint8_t>> vpd_page(protocol::model::Model model, std::uint8_t code);

// The CCD data record (data type 91h) as 16-bit words, consistent with the model's E3 page:
// ccd_lines colours of `curves` rows of one word per page value. None on models without E3.
std::optional<std::vector<std::uint16_t>> ccd_record(protocol::model::Model model);
std::optional<std::vector<std::uint16_t>> ccd_record(const ModelValues& meant);
// The gain of one CCD colour row and curve in that record, per mille.
std::uint32_t ccd_gain(const ModelValues& meant, std::size_t colour, std::size_t curve);

// The state a unit of the model powers on with, and the records it hands over (values below).
using Descriptor = std::array<std::uint8_t, 50>;
std::vector<Descriptor> power_on_windows(const ModelValues& meant);
std::uint32_t power_on_focus(const ModelValues& meant);
// Where autofocus leaves the lens.
std::uint32_t found_focus(const ModelValues& meant);
// The start-up exposure for a window identifier, in 10 ns.
std::uint32_t white_balance_exposure(std::uint8_t id);
// Record payloads (after the 6-byte header) for data types 8Ah, 8Dh, 8Eh and 8Fh.
std::vector<std::uint8_t> analog_gain_record();
std::vector<std::uint8_t> setup_record(const ModelValues& meant, std::uint8_t id);
std::vector<std::uint8_t> perforation_record(std::span<const protocol::data::PerforationInformation> readings);
std::vector<std::uint8_t> positions_record(std::span<const protocol::data::FramePosition> positions);

}  // namespace vexlor::emulator
