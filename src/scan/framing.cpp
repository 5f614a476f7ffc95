#include "scan/framing.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "diag/log.hpp"
#include "scan/window.hpp"
#include "session/session.hpp"
#include "try.hpp"

namespace vexlor::scan::framing {

namespace {

using protocol::caps::film::FilmFormat;
using protocol::data::Rect;

constexpr std::string_view TARGET = "vexlor::scan::framing";

bool publishes_frames(const protocol::caps::Capabilities& caps) {
    return caps.address.framing_flags & protocol::caps::address::PUBLISHES_FRAMES;
}

bool reads_perforations(const protocol::caps::Capabilities& caps) {
    return caps.features.supports_read(*protocol::data::code(protocol::data::DataType::Perforation));
}

error::Result<Discovered> published(const protocol::caps::Capabilities& caps) {
    const std::uint32_t block = window::line_block(caps);
    Discovered out;
    for (const auto& f : caps.frames->frames) {
        if (!f.present) continue;
        std::uint64_t length = f.length;
        if (block >= 2) length = (length + block - 1) / block * block;
        if (length > caps.address.y.max_extent) {
            return std::unexpected(error::Error::unsupported(
                "frame table",
                fmt::format("a frame of {} is past the {} boundary and would stall the stage", length, caps.address.y.max_extent)));
        }
        const std::uint64_t bottom = f.y + length;
        const std::uint64_t right = std::uint64_t{f.x} + f.width;
        if (bottom > UINT32_MAX || right > UINT32_MAX) {
            // Added up in 32 bits, such an entry wraps into a sliver somewhere else on the film.
            return std::unexpected(error::Error::unsupported(
                "frame table", fmt::format("a frame at y {}, x {} of {} by {} runs past the end of the unit's addresses",
                                           f.y, f.x, f.length, f.width)));
        }
        out.frames.push_back({f.y, f.x, static_cast<std::uint32_t>(bottom), static_cast<std::uint32_t>(right)});
    }
    VX_INFO(TARGET, "published frames", diag::field("frames", out.frames.size()));
    out.table = protocol::data::FrameTable{protocol::data::FrameTable::Rects{protocol::data::Boundary{out.frames}}};
    return out;
}

// The resolved format's frame length in feed addresses, with the thumbnail pass taken into `samples`.
error::Result<std::pair<pass::Pass, std::uint32_t>> thumbnail_pass(session::Session& s, std::optional<FilmFormat> format,
                                                                  protocol::decode::Samples& samples,
                                                                  const session::scan::ProgressFn& progress) {
    VX_TRY(const FilmFormat resolved, FilmFormat::resolve(format, s.caps));
    VX_TRY(auto pass, s.scan_thumbnail_with(samples, progress));
    VX_DEBUG(TARGET, "thumbnail", diag::field("rows", pass.rows), diag::field("cols", pass.cols),
             diag::field("complete", pass.complete));
    const std::uint32_t length = feed_addresses(s.caps, frame_length(resolved));
    VX_INFO(TARGET, "frame length", diag::Field{"format", protocol::caps::film::to_string(resolved)},
            diag::field("length", length));
    return std::pair{std::move(pass), length};
}

}  // namespace

std::string to_string(Framing f) {
    switch (f) {
        case Framing::Published: return "Published";
        case Framing::Thumbnail: return "Thumbnail";
        case Framing::Perforation: return "Perforation";
        case Framing::Address: return "Address";
    }
    return "Address";
}

std::string python_name(Framing f) {
    std::string s = to_string(f);
    s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
}

Framing choose(const protocol::caps::Capabilities& caps) {
    if (!publishes_frames(caps)) return reads_perforations(caps) ? Framing::Perforation : Framing::Address;
    if (caps.frames && !caps.frames->frames.empty() &&
        std::all_of(caps.frames->frames.begin(), caps.frames->frames.end(), [](const auto& f) { return f.present; })) {
        return Framing::Published;
    }
    const bool thumbnails = caps.set_window.kinds.contains(protocol::caps::set_window::kind::THUMBNAIL) &&
                            caps.address.thumbnail_dpi_min != 0;
    return thumbnails ? Framing::Thumbnail : Framing::Address;
}

std::uint32_t frame_length(FilmFormat format) {
    switch (format.kind()) {
        case FilmFormat::Kind::IX240: return 4756;
        case FilmFormat::Kind::F135: return 5959;
        case FilmFormat::Kind::F135Half: return 2835;
        case FilmFormat::Kind::F16: return 3150;
        case FilmFormat::Kind::F645: return 6696;
        case FilmFormat::Kind::F66: return 8964;
        case FilmFormat::Kind::F67: return 10945;
        case FilmFormat::Kind::F68: return 11969;
        case FilmFormat::Kind::F69: return 13176;
        case FilmFormat::Kind::Custom: break;
    }
    // Saturates past what 32 bits hold rather than wrapping to a short frame.
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{format.mm()} * 20000 / 127, UINT32_MAX));
}

std::uint32_t feed_addresses(const protocol::caps::Capabilities& caps, std::uint32_t length) {
    const std::uint64_t a = (std::uint64_t{caps.address.y.optical_dpi} * length + 2000) / 4000;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(a, UINT32_MAX));
}

error::Result<Discovered> frames(const protocol::caps::Capabilities& caps) {
    const auto& a = caps.address;
    const std::uint32_t pitch = a.y.max_extent;
    const std::uint32_t extent = window::reachable_blocks(caps, pitch);
    if (extent == 0) return std::unexpected(error::Error::unsupported("frame table", "a frame of length 0 is not a frame"));
    const std::uint64_t range = (a.y.origin_max > a.y.origin_min ? a.y.origin_max - a.y.origin_min : 0) + std::uint64_t{1};
    const std::uint64_t count = std::max<std::uint64_t>(range / pitch, 1);
    VX_DEBUG(TARGET, "framed from the address page", diag::field("count", count), diag::field("pitch", pitch),
             diag::field("extent", extent));
    Discovered out;
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto top = static_cast<std::uint32_t>(a.y.origin_min + i * pitch);
        out.frames.push_back({top, a.x.origin_min, top + extent, a.x.origin_min + a.x.max_extent});
    }
    out.table = protocol::data::FrameTable{protocol::data::FrameTable::Rects{protocol::data::Boundary{out.frames}}};
    return out;
}

error::Result<Discovered> discover_with(session::Session& s, std::optional<FilmFormat> format, protocol::decode::Samples& samples,
                                        const session::scan::ProgressFn& progress) {
    const Framing mechanism = choose(s.caps);
    VX_DEBUG(TARGET, "frame discovery", diag::Field{"mechanism", to_string(mechanism)});
    switch (mechanism) {
        case Framing::Published: return published(s.caps);
        case Framing::Address: return frames(s.caps);
        case Framing::Thumbnail: {
            VX_TRY(auto taken, thumbnail_pass(s, format, samples, progress));
            auto& [pass, length] = taken;
            VX_TRY(auto found, thumbnail::frames(s.caps, pass, samples, length));
            if (!found.rects.empty()) VX_CHECK(s.set_boundaries(protocol::data::Boundary{found.rects}));
            VX_INFO(TARGET, "detected frames", diag::field("frames", found.rects.size()));
            Discovered out;
            out.table = protocol::data::FrameTable{protocol::data::FrameTable::Rects{protocol::data::Boundary{found.rects}}};
            out.frames = std::move(found.rects);
            out.pitch = found.pitch;
            out.thumbnail = std::move(pass);
            out.contrast = found.contrast;
            return out;
        }
        case Framing::Perforation: {
            VX_TRY(const FilmFormat resolved, FilmFormat::resolve(format, s.caps));
            VX_CHECK(s.read_perforations());
            (void)s.read_boundaries_type2();  // only to wake the table; what it says is not used
            VX_TRY(auto taken, thumbnail_pass(s, resolved, samples, progress));
            auto& [pass, length] = taken;
            VX_TRY(const auto readings, s.read_perforations());
            VX_TRY(auto found, thumbnail::frames_type2(s.caps, pass, samples, readings, length));
            protocol::data::BoundaryType2 table{found.positions};
            if (!found.positions.empty()) VX_CHECK(s.set_boundaries_type2(table));
            const auto& a = s.caps.address;
            Discovered out;
            for (const auto& p : found.positions) out.frames.push_back({p.top, a.x.origin_min, p.top + found.length, a.x.origin_min + a.x.max_extent});
            VX_INFO(TARGET, "detected frames", diag::field("frames", out.frames.size()));
            out.table = protocol::data::FrameTable{protocol::data::FrameTable::Positions{std::move(table)}};
            out.pitch = found.pitch;
            out.thumbnail = std::move(pass);
            out.contrast = found.contrast;
            return out;
        }
    }
    return frames(s.caps);
}

error::Result<bool> register_frame(session::Session& s, const Rect& rect) {
    const auto& caps = s.caps;
    if (publishes_frames(caps) || !reads_perforations(caps)) return false;
    protocol::data::BoundaryType2 table;
    if (const auto* kept = s.frame_table ? std::get_if<protocol::data::FrameTable::Positions>(&s.frame_table->value) : nullptr) {
        table = kept->table;
    } else {
        auto read = s.boundaries_type2();
        if (!read) {
            VX_DEBUG(TARGET, "no frame table to register against", diag::Field{"e", error::to_string(read.error())});
            return false;
        }
        table = std::move(*read);
    }
    if (table.positions.empty() ||
        std::any_of(table.positions.begin(), table.positions.end(), [&](const auto& p) { return p.top == rect.top; })) {
        return false;
    }
    VX_TRY(const auto readings, s.read_perforations());
    std::uint64_t addresses = 1, columns = 1;
    if (const auto m = thumbnail::LinePitch::measured(caps, readings)) {
        addresses = std::max<std::uint64_t>(m->addresses, 1);
        columns = std::max<std::uint64_t>(m->columns, 1);
    } else if (caps.address.thumbnail_dpi_min != 0) {
        addresses = std::max<std::uint64_t>(
            std::max(caps.address.x.optical_dpi, caps.address.y.optical_dpi) / caps.address.thumbnail_dpi_min, 1);
    }
    const std::uint32_t origin = caps.address.y.origin_min;
    const std::uint64_t column = (columns * (rect.top > origin ? rect.top - origin : 0) + addresses / 2) / addresses;
    if (readings.empty() || column >= readings.size()) {
        return std::unexpected(error::Error::unsupported(
            "frame registration", fmt::format("a frame at {} needs the perforation reading of thumbnail line {}, and the last pass measured {}",
                                              rect.top, column, readings.size())));
    }
    const auto& r = readings[column];
    table.register_position({rect.top, r.perf_number, r.perf_decimal, r.pulse_number});
    VX_DEBUG(TARGET, "registered a frame off the table", diag::field("top", rect.top), diag::field("line", column),
             diag::Field{"perf", protocol::data::debug_string(r)});
    VX_CHECK(s.set_boundaries_type2_for_pass(table));
    return true;
}

}  // namespace vexlor::scan::framing
