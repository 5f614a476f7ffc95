#include "protocol/image.hpp"
#include "try.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace vexlor::protocol::image {

std::uint32_t pitch(const caps::address::Address& a, std::uint32_t optical, std::uint32_t dpi, bool rounded) {
    const std::uint32_t step = std::max<std::uint32_t>(optical / std::max<std::uint32_t>(dpi, 1), 1);
    if (!rounded || step < 2) return step;
    switch (a.pitch_rule) {
        case 0:
        case 1: return step;
        case 2:
            // A line gap of 0 is divided by every step, so the step stands.
            for (std::uint32_t d = step; d >= 2; --d) {
                if (a.line_gap % d == 0) return d;
            }
            return 1;
        default: return step & ~1u;  // the page carries two bits; 3 is the last rule
    }
}

Block block_of(caps::set_window::ColorInterleaving interleaving, std::uint8_t ccd_lines, std::uint32_t gap) {
    if (interleaving.contains(caps::set_window::interleaving::MULTILINE_SIMULTANEOUS) && ccd_lines >= 2) return {ccd_lines, gap};
    return {};
}

std::uint32_t block_feed(const caps::address::Address& a, std::uint32_t dpi, caps::set_window::ColorInterleaving interleaving,
                         bool thumbnail) {
    const std::uint32_t y_pitch = pitch(a, std::max(a.x.optical_dpi, a.y.optical_dpi), dpi, !thumbnail);
    const Block block = block_of(interleaving, a.ccd_lines, a.line_gap / y_pitch);
    if (block.rows == 1) return 1;  // line by line: every length is whole blocks
    const std::uint64_t feed = std::uint64_t{block.lines()} * y_pitch;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(feed, UINT32_MAX));
}

std::uint32_t whole_blocks(std::uint32_t length, std::uint32_t step, std::uint32_t room) {
    if (step <= 1) return length;
    const std::uint64_t up = (std::uint64_t{length} + step - 1) / step * step;
    if (up <= room) return static_cast<std::uint32_t>(up);
    return up >= 2 * std::uint64_t{step} ? static_cast<std::uint32_t>(up - step) : 0;
}

error::Result<Layout> Layout::make(const caps::Capabilities& caps, std::span<const window::Window> windows,
                                   std::uint16_t units, const std::optional<data::Truncation>& truncation) {
    VX_CHECK(window::validate_set(windows));
    const window::Window& w = windows.front();
    const auto& address = caps.address;

    const std::uint32_t x_optical = address.x.optical_dpi;
    if (x_optical == 0 || w.x_dpi == 0) {
        return std::unexpected(error::Error::unsupported(
            "image layout", fmt::format("cannot pitch {} dpi against an optical resolution of {}", w.x_dpi, x_optical)));
    }
    const std::uint32_t yd = w.y_dpi != 0 ? w.y_dpi : w.x_dpi;
    const std::uint32_t y_optical = std::max<std::uint32_t>(x_optical, address.y.optical_dpi);
    const bool rounded = !w.kind.contains(caps::set_window::kind::THUMBNAIL);
    const std::uint32_t x_pitch = pitch(address, x_optical, w.x_dpi, rounded);
    const std::uint32_t y_pitch = pitch(address, y_optical, yd, rounded);

    Layout l;
    l.x_pitch = x_pitch;
    l.y_pitch = y_pitch;
    if (units == BASE_DIVISOR) {
        l.pixels = static_cast<std::uint32_t>(std::uint64_t{w.width} * x_optical / (std::uint64_t{x_pitch} * BASE_DIVISOR));
        l.lines = static_cast<std::uint32_t>(std::uint64_t{w.length} * x_optical / (std::uint64_t{y_pitch} * BASE_DIVISOR));
    } else {
        l.pixels = w.width / x_pitch;
        l.lines = w.length / y_pitch;
    }

    const unsigned sample_bytes = (unsigned{w.bits} + 7) / 8;
    if (sample_bytes != 1 && sample_bytes != 2 && sample_bytes != 4) {
        return std::unexpected(error::Error::unsupported(
            "image layout", fmt::format("{} bits a sample needs {} bytes, which 2-11-4 cannot encode", w.bits, sample_bytes)));
    }
    l.sample_bytes = static_cast<std::uint8_t>(sample_bytes);

    for (const auto& win : windows) l.channels.push_back(win.channel());

    if (truncation) {
        const auto& t = *truncation;
        l.color_edges = {std::uint32_t{t.per_color.first} + t.all_colors.first, std::uint32_t{t.per_color.last} + t.all_colors.last};
        if (t.position.intersects(data::position::INFRARED_FIRST | data::position::INFRARED_LAST)) {
            l.ir_edges = {std::uint32_t{t.per_color.first} + t.infrared_reading.first,
                          std::uint32_t{t.per_color.last} + t.infrared_reading.last};
        } else {
            l.ir_edges = l.color_edges;
        }
        l.head_lines = t.lines.first;
        l.tail_lines = t.lines.last;
    }

    l.dpi = x_optical / x_pitch;
    l.readings = static_cast<std::uint8_t>(std::min(unsigned{w.multiple_reading} + 1, 255u));
    l.ccd_lines = address.ccd_lines;
    l.line_gap = address.line_gap / y_pitch;
    l.interleaving = w.interleaving;
    l.bits = w.bits;
    l.read_off = false;

    const bool multiline = w.interleaving.contains(caps::set_window::interleaving::MULTILINE_SIMULTANEOUS);
    l.group = multiline && !caps.features.cooperation.contains(caps::other::cooperation::MULTI_LINE)
                  ? std::max<std::uint8_t>(address.ccd_lines, 1)
                  : 1;

    // Byte sums are 32-bit like the unit's; the group multiplication is 64-bit.
    const std::uint32_t v = std::uint32_t{l.sample_bytes} * l.pixels;
    const std::uint32_t n = static_cast<std::uint32_t>(windows.size());
    const std::uint32_t c = static_cast<std::uint32_t>(
        std::count_if(windows.begin(), windows.end(), [](const window::Window& x) { return !x.channel().infrared(); }));
    const bool has_ir = c < n;
    const std::uint32_t ec = l.color_edges.first + l.color_edges.second;
    const std::uint32_t ei = l.ir_edges.first + l.ir_edges.second;
    const std::uint64_t g = l.group;
    const std::uint32_t r = l.readings;

    std::uint64_t first_unit = 1, unit = 1, cycle = 1;
    if (address.read_units & caps::address::READS_LINE_GROUPS) {
        if (r == 1 || !has_ir) {
            first_unit = unit = cycle = std::uint64_t{v * n + ec} * g;
        } else {
            first_unit = std::uint64_t{v * n + ei} * g;
            unit = std::uint64_t{v * c + ec} * g;
            cycle = std::uint64_t{v * n + ei + (r - 1) * (v * c + ec)} * g;
        }
    } else if (address.read_units & caps::address::READS_CHANNEL_LINES) {
        const bool all_edges = truncation && (truncation->all_colors.first != 0 || truncation->all_colors.last != 0);
        if (!all_edges) {
            std::uint32_t per = v;
            if (truncation) per += std::uint32_t{truncation->per_color.first} + truncation->per_color.last;
            first_unit = unit = cycle = per;
        } else if (r == 1) {
            first_unit = unit = cycle = std::uint64_t{v * n + ec} * g;
        } else {
            const std::uint32_t s = (v * n + (has_ir ? ei : ec)) + (r - 1) * (v * c + ec);
            first_unit = unit = cycle = std::uint64_t{s} * g;
        }
    }
    l.first_unit = std::max<std::uint64_t>(first_unit, 1);
    l.unit = std::max<std::uint64_t>(unit, 1);
    l.cycle = std::max<std::uint64_t>(cycle, 1);
    return l;
}

std::uint64_t Layout::total_bytes() const {
    const std::uint32_t v = std::uint32_t{sample_bytes} * pixels;
    const std::uint32_t n = static_cast<std::uint32_t>(channels.size());
    const std::uint32_t c = static_cast<std::uint32_t>(
        std::count_if(channels.begin(), channels.end(), [](window::Channel ch) { return !ch.infrared(); }));
    const std::uint32_t ec = color_edges.first + color_edges.second;
    const std::uint32_t ei = ir_edges.first + ir_edges.second;
    std::uint32_t per_line;
    if (readings <= 1) {
        per_line = v * n + ec;
    } else {
        per_line = v * n + (c < n ? ei : ec);
        for (unsigned m = 1; m < readings; ++m) per_line += v * c + ec;
    }
    const std::uint32_t all_lines = lines + head_lines + tail_lines;
    return std::uint64_t{per_line} * all_lines;
}

Block Layout::block() const { return block_of(interleaving, ccd_lines, line_gap); }

std::vector<window::Channel> Layout::colors() const {
    std::vector<window::Channel> out;
    for (const auto ch : channels) {
        if (!ch.infrared()) out.push_back(ch);
    }
    return out;
}

}  // namespace vexlor::protocol::image
