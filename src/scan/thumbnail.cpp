#include "scan/thumbnail.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "diag/log.hpp"
#include "protocol/model.hpp"
#include "scan/strip.hpp"
#include "scan/window.hpp"
#include "text.hpp"
#include "try.hpp"

namespace vexlor::scan::thumbnail {

namespace {

constexpr std::string_view TARGET = "vexlor::scan::thumbnail";

// Left edge and width across the film: the first published frame's, else the whole axis.
std::pair<std::uint32_t, std::uint32_t> across(const protocol::caps::Capabilities& caps) {
    if (caps.frames && !caps.frames->frames.empty()) return {caps.frames->frames.front().x, caps.frames->frames.front().width};
    return {caps.address.x.origin_min, caps.address.x.max_extent};
}

std::uint32_t larger_optical(const protocol::caps::Capabilities& caps) {
    return std::max(caps.address.x.optical_dpi, caps.address.y.optical_dpi);
}

error::Result<std::uint32_t> reachable(const protocol::caps::Capabilities& caps, std::uint32_t length) {
    const std::uint32_t l = window::reachable_blocks(caps, length);
    if (l == 0) return std::unexpected(error::Error::unsupported("frame table", "a frame of length 0 is not a frame"));
    return l;
}

}  // namespace

error::Result<std::vector<protocol::window::Window>> windows(const protocol::caps::Capabilities& caps) {
    namespace sw = protocol::caps::set_window;
    using protocol::model::Model;
    const auto& s = caps.set_window;
    if (!s.interleavings.contains(sw::interleaving::LINE_WITHOUT_DISTANCE)) {
        return std::unexpected(error::Error::unsupported(
            "thumbnail window", fmt::format("a thumbnail needs line ordering and this unit offers {}", debug_string(s.interleavings))));
    }
    const auto model = protocol::model::from_product(caps.identity.product);
    if (!model) return std::unexpected(error::Error::unsupported("thumbnail window", "unrecognized model"));
    const std::uint8_t byte41 = (*model == Model::Ls8000 || *model == Model::Ls9000) ? 0x00 : 0x81;

    const auto& a = caps.address;
    const auto [left, width] = across(caps);
    VX_TRY(auto out, window::blank(s.depths, window::color_channels(caps)));
    for (auto& w : out) {
        w.x_dpi = w.y_dpi = a.thumbnail_dpi_min;
        w.ulx = left;
        w.width = width;
        w.uly = a.y.origin_min;
        w.length = a.y.origin_max;
        w.kind = sw::kind::THUMBNAIL;
        w.mode = sw::mode::NORMAL_QUALITY;
        w.interleaving = sw::interleaving::LINE_WITHOUT_DISTANCE;
        w.byte41 = byte41;
    }
    VX_CHECK(window::fit_blocks(caps, out));
    return out;
}

std::optional<LinePitch> LinePitch::measured(const protocol::caps::Capabilities& caps,
                                             std::span<const protocol::data::PerforationInformation> readings) {
    const auto position = [&](std::size_t i) {
        return std::int64_t{4} * readings[i].perf_number + readings[i].perf_decimal;  // quarter perforations
    };
    if (readings.empty()) return std::nullopt;
    std::size_t j = 0;
    while (j < readings.size() && position(j) == position(0)) ++j;
    if (j == readings.size()) return std::nullopt;
    std::size_t g = readings.size() - 1;
    while (g > 0 && position(g - 1) == position(readings.size() - 1)) --g;
    if (j >= g || position(g) < position(j)) return std::nullopt;
    const std::int64_t distance = position(g) - position(j);
    if (distance < 16) return std::nullopt;
    const std::uint64_t r = larger_optical(caps);
    const std::uint64_t addresses = static_cast<std::uint64_t>(distance) * r * 47498 / 1016000;
    const std::uint64_t columns = g - j;
    const std::uint16_t thumb = caps.address.thumbnail_dpi_min;
    const std::uint64_t nominal = thumb == 0 ? columns : columns * std::max<std::uint64_t>(1, r / thumb);
    const std::uint64_t off = nominal > addresses ? nominal - addresses : addresses - nominal;
    if (4 * off > nominal) return std::nullopt;
    return LinePitch{addresses, columns};
}

std::optional<Tops> tops(const protocol::caps::Capabilities& caps, const protocol::decode::Image& image, std::uint64_t addresses,
                         std::uint64_t columns, std::uint32_t length) {
    const std::uint64_t a = std::max<std::uint64_t>(addresses, 1);
    const std::uint64_t expected = (columns * length + a / 2) / a;
    const auto fit = strip::find(image, static_cast<std::size_t>(expected));
    if (!fit) return std::nullopt;
    Tops out{{}, fit->pitch, fit->contrast};
    const auto& y = caps.address.y;
    if (y.origin_max < length) return out;
    for (const auto& [s, e] : fit->frames) {
        const std::uint64_t centre = e <= s ? s : s + (e - s) / 2;
        auto t = static_cast<std::uint32_t>(y.origin_min + centre * addresses / std::max<std::uint64_t>(columns, 1));
        t = t > length / 2 ? t - length / 2 : 0;
        out.tops.push_back(std::min(std::max(t, y.origin_min), y.origin_max - length));
    }
    return out;
}

error::Result<Rects> frames(const protocol::caps::Capabilities& caps, const pass::Pass& pass,
                            const protocol::decode::Samples& samples, std::uint32_t length) {
    VX_TRY(const std::uint32_t l, reachable(caps, length));
    VX_TRY(const auto image, pass.image(samples));
    const LinePitch pitch{std::max<std::uint64_t>(pass.started.layout.y_pitch, 1), 1};
    const auto [left, width] = across(caps);
    const auto found = tops(caps, image, pitch.addresses, pitch.columns, l);
    if (!found) {
        VX_INFO(TARGET, "nothing on the strip to frame");
        return Rects{{}, pitch, std::nullopt};
    }
    Rects out{{}, pitch, found->contrast};
    for (const std::uint32_t top : found->tops) out.rects.push_back({top, left, top + l, left + width});
    VX_INFO(TARGET, "measured the loaded strip", diag::field("frames", out.rects.size()),
            diag::field("pitch", std::uint64_t{pass.started.layout.y_pitch} * found->pitch), diag::field("contrast", found->contrast));
    for (std::size_t i = 0; i < out.rects.size(); ++i) {
        VX_DEBUG(TARGET, "frame rect", diag::field("frame", i + 1), diag::Field{"rect", protocol::data::debug_string(out.rects[i])});
    }
    return out;
}

error::Result<Positions> frames_type2(const protocol::caps::Capabilities& caps, const pass::Pass& pass,
                                      const protocol::decode::Samples& samples,
                                      std::span<const protocol::data::PerforationInformation> readings, std::uint32_t length) {
    VX_TRY(const std::uint32_t l, reachable(caps, length));
    VX_TRY(const auto image, pass.image(samples));
    LinePitch pitch;
    if (auto m = LinePitch::measured(caps, readings)) {
        pitch = *m;
        VX_DEBUG(TARGET, "measured the thumbnail line against the perforation table",
                 diag::field("per_thousand_lines", pitch.addresses * 1000 / std::max<std::uint64_t>(pitch.columns, 1)));
    } else {
        VX_DEBUG(TARGET, "no perforation table to measure the thumbnail line against");
        const std::uint16_t thumb = caps.address.thumbnail_dpi_min;
        pitch = {thumb == 0 ? 1 : std::max<std::uint64_t>(1, larger_optical(caps) / thumb), 1};
    }
    const auto found = tops(caps, image, pitch.addresses, pitch.columns, l);
    if (!found) {
        VX_INFO(TARGET, "nothing on the strip to frame");
        return Positions{{}, pitch, l, std::nullopt};
    }
    if (readings.size() != image.ready) {
        VX_DEBUG(TARGET, "the perforation table does not run the length of the thumbnail pass", diag::field("perfs", readings.size()),
                 diag::field("columns", image.ready));
    }
    Positions out{{}, pitch, l, found->contrast};
    const std::uint64_t a = std::max<std::uint64_t>(pitch.addresses, 1);
    const std::uint64_t c = std::max<std::uint64_t>(pitch.columns, 1);
    const std::uint32_t origin = caps.address.y.origin_min;
    for (const std::uint32_t top : found->tops) {
        const std::uint64_t col = (c * (top > origin ? top - origin : 0) + a / 2) / a;
        const auto* reading = col < readings.size() ? &readings[col] : nullptr;
        VX_DEBUG(TARGET, "the pass over a frame", diag::field("col", col), diag::field("top", top),
                 diag::Field{"perf", reading ? "Some(" + protocol::data::debug_string(*reading) + ")" : std::string("None")});
        if (!reading) {
            VX_WARN(TARGET, "no perforation reading for this frame, dropped", diag::field("col", col), diag::field("top", top));
            continue;
        }
        out.positions.push_back({top, reading->perf_number, reading->perf_decimal, reading->pulse_number});
    }
    VX_INFO(TARGET, "measured the loaded strip", diag::field("frames", out.positions.size()),
            diag::field("pitch", found->pitch * pitch.addresses / c), diag::field("contrast", found->contrast));
    for (std::size_t i = 0; i < out.positions.size(); ++i) {
        VX_DEBUG(TARGET, "frame position", diag::field("frame", i + 1),
                 diag::Field{"frame", protocol::data::debug_string(out.positions[i])});
    }
    return out;
}

}  // namespace vexlor::scan::thumbnail
