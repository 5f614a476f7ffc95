#include "scan/window.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include <fmt/format.h>

#include "diag/log.hpp"
#include "protocol/decode.hpp"
#include "protocol/image.hpp"
#include "try.hpp"

namespace vexlor::scan::window {

namespace {

using protocol::window::Channel;
using protocol::window::Composition;
using protocol::window::Window;
namespace sw = protocol::caps::set_window;

constexpr std::string_view TARGET = "vexlor::scan::window";
// Bit of the set-window page's colour byte: separate red, green and blue windows.
constexpr std::uint8_t SEPARATE_COLORS = 0x04;

std::string_view readout_words(std::uint8_t bit) {
    if (bit == sw::interleaving::LINE_WITHOUT_DISTANCE.bits()) return "one row at a time";
    if (bit == sw::interleaving::MULTILINE_SIMULTANEOUS.bits()) return "all its rows at once";
    return "that way";
}

// As the caller wrote it: (top, left, bottom, right).
std::string shown(const protocol::data::Rect& r) { return fmt::format("({}, {}, {}, {})", r.top, r.left, r.bottom, r.right); }

std::uint32_t room_at(const protocol::caps::Capabilities& caps, std::uint32_t y) {
    const auto& a = caps.address.y;
    return std::min(a.origin_max > y ? a.origin_max - y : 0, a.max_extent);
}

error::Error too_short(const protocol::data::Rect& rect, std::uint32_t dpi, std::uint32_t step) {
    return error::Error::unsupported(
        "frame table", fmt::format("the frame {} is too short for one block of CCD rows at {} dpi: the shortest frame "
                                   "that scans there is {} long",
                                   shown(rect), dpi, step));
}

std::uint32_t clamp_into(std::uint32_t v, std::uint32_t lo, std::uint32_t hi) {
    // An inverted range (lo > hi) clamps to its lower end rather than failing.
    return std::max(lo, std::min(v, hi));
}

}  // namespace

std::uint32_t feed_step(const protocol::caps::Capabilities& caps, std::uint16_t dpi) {
    const auto& a = caps.address;
    return protocol::image::pitch(a, std::max(a.x.optical_dpi, a.y.optical_dpi), dpi);
}

std::uint32_t line_block(const protocol::caps::Capabilities& caps) {
    return std::uint32_t{caps.address.ccd_lines} * caps.address.line_gap;
}

std::uint8_t interleaving_for(const protocol::caps::Capabilities& caps, std::uint16_t dpi, bool superfine) {
    const bool all_rows = !superfine && caps.address.ccd_lines > 1 &&
                          caps.set_window.interleavings.contains(sw::interleaving::MULTILINE_SIMULTANEOUS) &&
                          caps.address.line_gap >= feed_step(caps, dpi);
    return all_rows ? sw::interleaving::MULTILINE_SIMULTANEOUS.bits() : sw::interleaving::LINE_WITHOUT_DISTANCE.bits();
}

error::Result<void> Recipe::supported(const protocol::caps::Capabilities& caps) const {
    const auto& x = caps.address.x;
    const auto& s = caps.set_window;
    if (dpi < x.min_dpi || dpi > x.max_dpi) {
        return std::unexpected(error::Error::unsupported(
            "scan resolution", fmt::format("{} dpi is outside the {} to {} this unit scans", dpi, x.min_dpi, x.max_dpi)));
    }
    if (samples == 0 || samples > MAX_READINGS) {
        return std::unexpected(error::Error::unsupported(
            "readings a line", fmt::format("{} readings of a line is outside 1 to {}", samples, MAX_READINGS)));
    }
    if (samples >= 2 && !s.modes.contains(sw::mode::MULTI_READING)) {
        return std::unexpected(error::Error::unsupported("multisampling", ""));
    }
    const auto asked = sw::ColorInterleaving::from_bits_retain(interleaving);
    if (std::popcount(interleaving) != 1 || !s.interleavings.contains(asked)) {
        return std::unexpected(error::Error::unsupported(
            "color interleaving", fmt::format("this unit does not read the CCD {}, only {}", readout_words(interleaving),
                                              debug_string(s.interleavings))));
    }
    if (asked == sw::interleaving::MULTILINE_SIMULTANEOUS && caps.address.line_gap < feed_step(caps, dpi)) {
        return std::unexpected(error::Error::unsupported(
            "color interleaving",
            fmt::format("at {} dpi all the CCD rows of this unit give one output line, so the pass must read one row at a time",
                        dpi)));
    }
    // The unit's one default window cannot share a set with the infrared window, so an infrared pass
    // would only fail after the unit had been moved.
    if (infrared && !(s.colors & SEPARATE_COLORS)) {
        return std::unexpected(error::Error::unsupported(
            "infrared", "this unit scans its colors in one default window, which cannot be scanned alongside infrared"));
    }
    return {};
}

error::Result<void> check_frame(const protocol::caps::Capabilities& caps, std::uint16_t units,
                                const protocol::data::Rect& rect, const Recipe* recipe) {
    const auto& a = caps.address;
    // Windows start within the origin range and reach at most max_extent beyond their start.
    const auto end_of = [](const protocol::caps::address::Axis& axis) {
        return std::uint64_t{axis.origin_max} + axis.max_extent;
    };
    const bool across = rect.left < end_of(a.x) && rect.right > a.x.origin_min;
    const bool along = rect.top < end_of(a.y) && rect.bottom > a.y.origin_min;
    if (!across || !along) {
        return std::unexpected(error::Error::unsupported(
            "frame table", fmt::format("the frame {} lies outside what this unit reaches: {} to {} along the film and "
                                       "{} to {} across it",
                                       shown(rect), a.y.origin_min, end_of(a.y), a.x.origin_min,
                                       end_of(a.x))));
    }
    if (!recipe) return {};
    VX_TRY(const auto windows, recipe->windows(caps, rect));
    auto layout = protocol::image::Layout::make(caps, windows, units, std::nullopt);
    if (!layout) return {};  // the pass reports it, as it always has
    if (layout->pixels == 0 || layout->lines == 0) {
        return std::unexpected(error::Error::unsupported(
            "frame table", fmt::format("the frame {} is less than one pixel at {} dpi: it would scan {} pixels across and "
                                       "{} lines along",
                                       shown(rect), recipe->dpi, layout->pixels, layout->lines)));
    }
    // A stream the decoder would refuse is refused now, before the unit has moved.
    VX_CHECK(protocol::decode::Decoder::make(*layout));
    return {};
}

error::Result<std::vector<Window>> Recipe::windows(const protocol::caps::Capabilities& caps,
                                                   const protocol::data::Rect& rect) const {
    VX_CHECK(supported(caps));
    const auto& a = caps.address;
    std::vector<Channel> channels;
    if (infrared) channels.push_back(Channel::of(Channel::Kind::Infrared));
    for (const Channel c : color_channels(caps)) channels.push_back(c);

    const std::uint32_t x = clamp_into(rect.left, a.x.origin_min, a.x.origin_max);
    const std::uint32_t y = clamp_into(rect.top, a.y.origin_min, a.y.origin_max);
    std::uint32_t length = rect.bottom > y ? rect.bottom - y : 0;
    const bool all_rows = interleaving == sw::interleaving::MULTILINE_SIMULTANEOUS.bits();
    if (length == 0) return std::unexpected(error::Error::unsupported("frame table", "a frame of length 0 is not a frame"));
    if (all_rows) {
        // Whole decoder blocks at this resolution's own pitch, which is whole CCD line blocks
        // only where the pitch divides the line gap.
        const std::uint32_t step =
            protocol::image::block_feed(a, dpi, sw::ColorInterleaving::from_bits_retain(interleaving));
        length = protocol::image::whole_blocks(length, step, room_at(caps, y));
        if (length == 0) return std::unexpected(too_short(rect, dpi, step));
    }
    if (length > a.y.max_extent) {
        return std::unexpected(error::Error::unsupported(
            "frame table",
            fmt::format("a frame of {} is past the {} boundary and would stall the stage", length, a.y.max_extent)));
    }
    const std::uint32_t width = std::min(rect.right > x ? rect.right - x : 0, a.x.max_extent);
    const bool reduced = all_rows && dpi < a.x.optical_dpi;
    auto mode = reduced && caps.set_window.modes.contains(sw::mode::HIGH_SPEED) ? sw::mode::HIGH_SPEED
                                                                                 : sw::mode::NORMAL_QUALITY;
    if (samples >= 2) mode |= sw::mode::MULTI_READING;

    VX_TRY(auto out, blank(caps.set_window.depths, channels));
    for (auto& w : out) {
        w.x_dpi = w.y_dpi = dpi;
        w.ulx = x;
        w.uly = y;
        w.width = width;
        w.length = length;
        w.kind = sw::kind::IMAGE;
        w.mode = mode;
        w.interleaving = sw::ColorInterleaving::from_bits_retain(interleaving);
        w.byte41 = reduced ? 0x01 : 0x81;
        w.multiple_reading = static_cast<std::uint8_t>(samples - 1);
    }
    return out;
}

error::Result<void> fit_blocks(const protocol::caps::Capabilities& caps, std::span<Window> windows) {
    if (windows.empty()) return {};
    const Window& w = windows.front();
    const std::uint32_t dpi = w.y_dpi != 0 ? w.y_dpi : w.x_dpi;
    const std::uint32_t step =
        protocol::image::block_feed(caps.address, dpi, w.interleaving, w.kind.contains(sw::kind::THUMBNAIL));
    // A pitch that puts every row on one line makes no blocks at all: the decoder says so.
    if (step <= 1) return {};
    const std::uint32_t length = protocol::image::whole_blocks(w.length, step, room_at(caps, w.uly));
    if (length == 0) {
        const protocol::data::Rect rect{w.uly, w.ulx, w.uly + w.length, w.ulx + w.width};
        return std::unexpected(too_short(rect, dpi, step));
    }
    for (auto& each : windows) each.length = length;
    return {};
}

std::vector<Channel> color_channels(const protocol::caps::Capabilities& caps) {
    if (!(caps.set_window.colors & SEPARATE_COLORS)) return {Channel::of(Channel::Kind::Default)};
    return {Channel::of(Channel::Kind::Red), Channel::of(Channel::Kind::Green), Channel::of(Channel::Kind::Blue)};
}

error::Result<std::vector<Window>> blank(std::uint8_t depths, std::span<const Channel> channels) {
    static constexpr std::array<std::pair<std::uint8_t, std::uint8_t>, 6> by_bit{
        {{0x20, 16}, {0x10, 14}, {0x08, 12}, {0x04, 10}, {0x02, 8}, {0x01, 1}}};
    std::uint8_t bits = 0;
    for (const auto& [bit, depth] : by_bit) {
        if (depths & bit) {
            bits = depth;
            break;
        }
    }
    if (bits == 0) return std::unexpected(error::Error::unsupported("scan window", "this unit advertises no pixel depth"));
    const auto colors = std::count_if(channels.begin(), channels.end(),
                                      [](Channel c) { return c.kind() != Channel::Kind::Infrared; });
    const auto composition = Composition::of(colors == 1 ? Composition::Kind::MultilevelBW : Composition::Kind::MultilevelRGB);
    static constexpr std::array<std::uint8_t, Window::size> zeros{};
    const Window tmpl = *Window::try_from(zeros);
    std::vector<Window> out;
    out.reserve(channels.size());
    for (const Channel c : channels) {
        Window w = tmpl;
        w.id = c.byte();
        w.composition = composition;
        w.bits = bits;
        w.byte45 = 0xFF;
        out.push_back(w);
    }
    return out;
}

std::uint32_t reachable_blocks(const protocol::caps::Capabilities& caps, std::uint32_t length) {
    const std::uint32_t limit = caps.address.y.max_extent;
    const std::uint32_t block = line_block(caps);
    std::uint64_t wanted = length;
    std::uint32_t kept = 0;
    if (block <= 1) {
        if (length <= limit) return length;
        kept = limit;
    } else {
        wanted = (std::uint64_t{length} + block - 1) / block * block;
        if (wanted <= limit) return static_cast<std::uint32_t>(wanted);
        kept = limit / block * block;
    }
    VX_DEBUG(TARGET, "the format is longer than the axis reaches, so the frame is trimmed", diag::field("wanted", wanted),
             diag::field("limit", limit), diag::field("kept", kept));
    return kept;
}

}  // namespace vexlor::scan::window
