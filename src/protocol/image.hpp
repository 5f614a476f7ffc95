// The geometry of one pass's byte stream: pixels and lines after sub-sampling, sample width,
// the unit's extra edge bytes and lines, and the units the image READs are sized in.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/data.hpp"
#include "protocol/window.hpp"

namespace vexlor::protocol::image {

// The measurement unit a session sets unless it works in unit addresses: 1/1200 inch.
inline constexpr std::uint16_t BASE_DIVISOR = 1200;

struct Layout {
    std::vector<window::Channel> channels;  // of the windows, in set order
    std::uint64_t first_unit = 1;
    std::uint64_t unit = 1;
    std::uint64_t cycle = 1;
    std::pair<std::uint32_t, std::uint32_t> color_edges{0, 0};
    std::pair<std::uint32_t, std::uint32_t> ir_edges{0, 0};
    std::uint32_t head_lines = 0;
    std::uint32_t tail_lines = 0;
    std::uint32_t pixels = 0;
    std::uint32_t lines = 0;
    std::uint32_t x_pitch = 1;
    std::uint32_t y_pitch = 1;
    std::uint32_t dpi = 0;
    std::uint32_t line_gap = 0;
    bool read_off = false;
    std::uint8_t sample_bytes = 2;
    std::uint8_t bits = 16;
    caps::set_window::ColorInterleaving interleaving;  // the first window's
    std::uint8_t readings = 1;
    std::uint8_t ccd_lines = 1;
    std::uint8_t group = 1;

    // `units` is the session's measurement unit: BASE_DIVISOR, or anything else for unit addresses.
    // (The constructor-like builder is `make`, since `new` is a keyword.)
    static error::Result<Layout> make(const caps::Capabilities& caps, std::span<const window::Window> windows,
                                      std::uint16_t units, const std::optional<data::Truncation>& truncation);

    std::uint64_t total_bytes() const;
    // The channels without the infrared one, in order.
    std::vector<window::Channel> colors() const;
    bool operator==(const Layout&) const = default;
};

}  // namespace vexlor::protocol::image
