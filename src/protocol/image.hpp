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

// Optical pixels or lines that make one output one at `dpi` against `optical`, rounded by the
// unit's pitch rule unless `rounded` is false (thumbnails take the plain step). Every pitch the
// host works out, the layout's and the window recipe's, comes from here.
std::uint32_t pitch(const caps::address::Address& address, std::uint32_t optical, std::uint32_t dpi, bool rounded = true);

// The output lines the decoder takes at a time: with all CCD rows read at once, `rows` rows
// `gap` pass lines apart (a gap of 0 puts every row on one line); otherwise one line.
struct Block {
    std::uint32_t rows = 1;
    std::uint32_t gap = 1;
    std::uint32_t lines() const { return rows * gap; }
    bool operator==(const Block&) const = default;
};
Block block_of(caps::set_window::ColorInterleaving interleaving, std::uint8_t ccd_lines, std::uint32_t gap);

// Feed addresses (unit addresses along the film) that one decoder block covers in a pass at
// `dpi` along the film: the block's lines at the pass's pitch. 1 for a pass read line by line
// (any length is whole blocks); 0 when the pitch puts every CCD row on one line, so no length is.
std::uint32_t block_feed(const caps::address::Address& address, std::uint32_t dpi,
                         caps::set_window::ColorInterleaving interleaving, bool thumbnail = false);

// A length along the film made a whole number of blocks of `step` feed addresses: rounded up
// while it stays within `room`, else one block shorter; 0 when not even one block fits. A step
// of 0 or 1 leaves the length alone.
std::uint32_t whole_blocks(std::uint32_t length, std::uint32_t step, std::uint32_t room);

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
    // The decoder's block of this pass.
    Block block() const;
    // The channels without the infrared one, in order.
    std::vector<window::Channel> colors() const;
    bool operator==(const Layout&) const = default;
};

}  // namespace vexlor::protocol::image
