#include "protocol/window.hpp"

#include <array>
#include <string_view>

#include "bytes.hpp"
#include "diag/log.hpp"
#include "try.hpp"

namespace vexlor::protocol::window {

namespace {

constexpr std::string_view target = "vexlor::protocol::window";

using caps::set_window::ColorInterleaving;
using caps::set_window::ScanKind;
using caps::set_window::ScanMode;

error::Error refuse(std::string label, std::string reason) {
    return error::Error::unsupported(std::move(label), std::move(reason));
}

// A flag set is offered when it is non-empty and every bit of it is among the offered ones.
template <class F>
error::Result<void> check_offered(std::string label, F asked, F offered) {
    if (!asked.empty() && offered.contains(asked)) return {};
    return std::unexpected(refuse(std::move(label), fmt::format("asked for {:#04x} of the {:#04x} this unit offers",
                                                                asked.bits(), offered.bits())));
}

}  // namespace

std::string to_string(Channel c) {
    switch (c.kind()) {
        case Channel::Kind::Default: return "Default";
        case Channel::Kind::Red: return "Red";
        case Channel::Kind::Green: return "Green";
        case Channel::Kind::Blue: return "Blue";
        case Channel::Kind::NeutralGray: return "NeutralGray";
        case Channel::Kind::Infrared: return "Infrared";
        case Channel::Kind::Other: break;
    }
    return fmt::format("Other({})", c.byte());
}

std::string to_string(Composition c) {
    static constexpr std::array<std::string_view, 6> names{"BilevelBW", "DitheredBW", "MultilevelBW",
                                                          "BilevelRGB", "DitheredRGB", "MultilevelRGB"};
    if (c.kind() == Composition::Kind::Unknown) return fmt::format("Unknown({})", c.code());
    return std::string(names[c.code()]);
}

std::string debug_string(const TooShort& e) { return fmt::format("TooShort {{ got: {} }}", e.got); }

namespace {

std::expected<Window, bytes::Short> descriptor(const bytes::Reader& r) {
    Window w;
    VX_TRY(w.id, r.u8(0));
    VX_TRY(const std::uint8_t auto_byte, r.u8(1));
    w.auto_bit = (auto_byte & 0x01) != 0;
    VX_TRY(w.x_dpi, r.be16(2));
    VX_TRY(w.y_dpi, r.be16(4));
    VX_TRY(w.ulx, r.be32(6));
    VX_TRY(w.uly, r.be32(10));
    VX_TRY(w.width, r.be32(14));
    VX_TRY(w.length, r.be32(18));
    VX_TRY(w.brightness, r.u8(22));
    VX_TRY(w.threshold, r.u8(23));
    VX_TRY(w.contrast, r.u8(24));
    VX_TRY(const std::uint8_t composition, r.u8(25));
    w.composition = Composition(composition);
    VX_TRY(w.bits, r.u8(26));
    VX_TRY(w.halftone, r.be16(27));
    VX_TRY(w.padding, r.u8(29));
    VX_TRY(w.bit_ordering, r.be16(30));
    VX_TRY(w.compression, r.u8(32));
    VX_TRY(w.compression_argument, r.u8(33));
    VX_CHECK(r.bytes(34, 6));  // reserved
    VX_TRY(const std::uint8_t readings, r.u8(40));
    w.multiple_reading = static_cast<std::uint8_t>(readings >> 4);
    w.color_ordering = static_cast<std::uint8_t>(readings & 0x0F);
    VX_TRY(const std::uint8_t setup, r.u8(41));
    w.setup_mode = static_cast<std::uint8_t>((setup >> 1) & 7);
    w.byte41 = static_cast<std::uint8_t>(setup & 0xE1);
    VX_TRY(const std::uint8_t kind, r.u8(42));
    w.kind = ScanKind::from_bits_truncate(kind);
    VX_TRY(const std::uint8_t mode, r.u8(43));
    w.mode = ScanMode::from_bits_truncate(mode);
    VX_TRY(const std::uint8_t interleaving, r.u8(44));
    w.interleaving = ColorInterleaving::from_bits_truncate(interleaving);
    VX_TRY(w.byte45, r.u8(45));
    VX_TRY(w.exposure, r.be32(46));
    return w;
}

}  // namespace

std::expected<Window, TooShort> Window::try_from(std::span<const std::uint8_t> b) {
    auto w = descriptor(bytes::Reader(b));
    if (!w) return std::unexpected(TooShort{w.error().got});
    return *w;
}

std::array<std::uint8_t, Window::size> Window::to_bytes() const {
    std::array<std::uint8_t, size> out{};
    std::span<std::uint8_t> o(out);
    out[0] = id;
    out[1] = auto_bit ? 1 : 0;
    bytes::put_be16(o, 2, x_dpi);
    bytes::put_be16(o, 4, y_dpi);
    bytes::put_be32(o, 6, ulx);
    bytes::put_be32(o, 10, uly);
    bytes::put_be32(o, 14, width);
    bytes::put_be32(o, 18, length);
    out[22] = brightness;
    out[23] = threshold;
    out[24] = contrast;
    out[25] = composition.code();
    out[26] = bits;
    bytes::put_be16(o, 27, halftone);
    out[29] = padding;
    bytes::put_be16(o, 30, bit_ordering);
    out[32] = compression;
    out[33] = compression_argument;
    out[40] = static_cast<std::uint8_t>((multiple_reading << 4) | (color_ordering & 0x0F));
    out[41] = static_cast<std::uint8_t>(((setup_mode << 1) & 0x0E) | byte41);
    out[42] = kind.bits();
    out[43] = mode.bits();
    out[44] = interleaving.bits();
    out[45] = byte45;
    bytes::put_be32(o, 46, exposure);
    return out;
}

error::Result<void> Window::check_geometry(char letter, std::uint32_t origin, std::uint32_t size,
                                           const caps::address::Axis& axis) {
    if (origin < axis.origin_min || origin > axis.origin_max) {
        return std::unexpected(refuse("window origin", fmt::format("{} {} is outside {} to {}", letter, origin,
                                                                   axis.origin_min, axis.origin_max)));
    }
    if (size == 0) return std::unexpected(refuse("window size", fmt::format("{} is empty", letter)));
    if (size > axis.max_extent) {
        VX_DEBUG(target, "window reaches past the adapter's opening", diag::field("name", std::string(1, letter)),
                 diag::field("size", size), diag::field("opening", axis.max_extent));
    }
    if (axis.origin_max != 0 && axis.origin_min == axis.origin_max && size != axis.max_extent) {
        return std::unexpected(refuse("window size", fmt::format("{} cannot be cropped, so it has to be exactly {}",
                                                                 letter, axis.max_extent)));
    }
    return {};
}

error::Result<void> Window::check_sensor(const caps::address::Address& address) const {
    const std::uint32_t end = ulx + width;  // wraps as the unit's own arithmetic does
    if (end > address.sensor_pixels) {
        return std::unexpected(refuse("window size", fmt::format("X {} from {} runs past the {} pixel sensor", width,
                                                                 ulx, address.sensor_pixels)));
    }
    return {};
}

error::Result<void> Window::check_multiple_reading(ScanMode modes) const {
    if (multiple_reading == 0) return {};
    if (multiple_reading >= 16) {
        return std::unexpected(
            refuse("multiple reading", fmt::format("{} does not fit the nibble byte 40 gives it", multiple_reading)));
    }
    if (modes.contains(caps::set_window::mode::MULTI_READING)) {
        if (!mode.contains(caps::set_window::mode::MULTI_READING)) {
            return std::unexpected(refuse(
                "multiple reading",
                fmt::format("{} readings needs {} in the scanning mode, which is {}", int{multiple_reading} + 1,
                            vexlor::debug_string(caps::set_window::mode::MULTI_READING), vexlor::debug_string(mode))));
        }
        return {};
    }
    return std::unexpected(refuse("multiple reading", "this unit reads each line once"));
}

error::Result<void> Window::check_color_ordering() const {
    if (color_ordering >= 4) {
        return std::unexpected(refuse("color ordering", fmt::format("{} is not a read position", color_ordering)));
    }
    return {};
}

error::Result<void> check_exposure_time(std::uint32_t time, const caps::set_window::SetWindowFunction& sw) {
    if (time >= sw.exposure_min && time <= sw.exposure_max) return {};
    return std::unexpected(refuse("exposure", fmt::format("{} is outside the {} to {} ten-nanosecond units this unit offers",
                                                          time, sw.exposure_min, sw.exposure_max)));
}

error::Result<void> Window::check_exposure(const caps::set_window::SetWindowFunction& sw) const {
    if (exposure == 0) return {};
    return check_exposure_time(exposure, sw);
}

error::Result<void> Window::check_fixed_fields() const {
    const std::array<std::pair<std::string_view, unsigned>, 4> fields{{
        {"padding type", padding},
        {"compression type", compression},
        {"compression argument", compression_argument},
        {"bit ordering", bit_ordering},
    }};
    for (const auto& [label, value] : fields) {
        if (value != 0) return std::unexpected(refuse(std::string(label), fmt::format("2-10 defines this as 0, not {}", value)));
    }
    return {};
}

error::Result<void> Window::validate(const caps::Capabilities& caps) const {
    const auto& address = caps.address;
    const auto& sw = caps.set_window;

    switch (channel().kind()) {
        case Channel::Kind::Default:
        case Channel::Kind::Red:
        case Channel::Kind::Green:
        case Channel::Kind::Blue:
        case Channel::Kind::Infrared: break;
        case Channel::Kind::NeutralGray:
        case Channel::Kind::Other:
            return std::unexpected(refuse(
                "window identifier", fmt::format("{} is not a scanning color: 2-10-4 defines 0 to 3, and 9 is infrared", id)));
    }

    const bool thumbnail = kind.contains(caps::set_window::kind::THUMBNAIL);
    const unsigned low = thumbnail ? address.thumbnail_dpi_min : address.x.min_dpi;
    const unsigned high = thumbnail ? address.thumbnail_dpi_max : address.x.max_dpi;
    if (x_dpi < low || x_dpi > high) {
        return std::unexpected(refuse("resolution", fmt::format("{} dpi is outside the {} to {} this unit offers for {}", x_dpi,
                                                                low, high, thumbnail ? "thumbnails" : "images")));
    }

    VX_CHECK(check_geometry('X', ulx, width, address.x));
    VX_CHECK(check_geometry('Y', uly, length, address.y));
    VX_CHECK(check_sensor(address));

    if (address.line_gap != 0 && interleaving.contains(caps::set_window::interleaving::MULTILINE_SIMULTANEOUS) &&
        width % address.line_gap != 0) {
        VX_WARN(target, "width is not a whole number of line-gap blocks", diag::field("width", width),
                diag::field("block", address.line_gap));
    }

    VX_CHECK(check_offered("scanning kind", kind, sw.kinds));
    VX_CHECK(check_offered("scanning mode", mode, sw.modes));
    VX_CHECK(check_offered("color interleaving", interleaving, sw.interleavings));

    std::uint8_t depth_bit = 0;
    switch (bits) {
        case 1: depth_bit = 0x01; break;
        case 8: depth_bit = 0x02; break;
        case 10: depth_bit = 0x04; break;
        case 12: depth_bit = 0x08; break;
        case 14: depth_bit = 0x10; break;
        case 16: depth_bit = 0x20; break;
        default:
            return std::unexpected(refuse("pixel composition", fmt::format("{} bits is not a depth 2-2-2-4 defines", bits)));
    }
    if ((sw.depths & depth_bit) == 0) {
        return std::unexpected(refuse("pixel composition", fmt::format("this unit does not offer {} bits", bits)));
    }

    const auto ck = composition.kind();
    if (ck != Composition::Kind::MultilevelBW && ck != Composition::Kind::MultilevelRGB) {
        return std::unexpected(refuse(
            "image composition",
            fmt::format("2-10-6 supports neither {} nor anything else it lists past the two multi-level codes", composition)));
    }

    if (setup_mode != 0) {
        if (!sw.kinds.contains(caps::set_window::kind::SETUP_2)) {
            return std::unexpected(refuse("setup mode", "this unit does not offer setup scanning 2, which is what makes byte "
                                                        "41 bits 3-1 mean anything"));
        }
        if (setup_mode > sw.setup_max) {
            return std::unexpected(
                refuse("setup mode", fmt::format("{} is past the {} this unit offers", setup_mode, sw.setup_max)));
        }
    }

    VX_CHECK(check_multiple_reading(sw.modes));
    VX_CHECK(check_color_ordering());
    VX_CHECK(check_exposure(sw));
    VX_CHECK(check_fixed_fields());
    return {};
}

error::Result<void> validate_set(std::span<const Window> windows) {
    if (windows.empty()) return std::unexpected(refuse("window set", "a scan needs at least one window"));
    if (windows.size() >= 2) {
        for (const auto& w : windows) {
            if (w.id == 0) return std::unexpected(refuse("window set", "the default color cannot be scanned alongside another"));
        }
    }

    const Window& first = windows.front();
    for (const auto& w : windows.subspan(1)) {
        const bool same = w.x_dpi == first.x_dpi && w.ulx == first.ulx && w.uly == first.uly && w.width == first.width &&
                          w.length == first.length && w.bits == first.bits && w.composition == first.composition &&
                          w.interleaving == first.interleaving && w.kind == first.kind && w.mode == first.mode &&
                          w.multiple_reading == first.multiple_reading && w.byte41 == first.byte41;
        if (!same) {
            return std::unexpected(refuse(
                "window set", fmt::format("window {} differs from window {} in a parameter common to the set", w.id, first.id)));
        }
    }

    bool any_pinned = false;
    for (const auto& w : windows) any_pinned = any_pinned || w.color_ordering != 0;
    if (any_pinned) {
        std::array<bool, 256> seen{};
        for (const auto& w : windows) {
            if (w.color_ordering == 0) {
                return std::unexpected(refuse(
                    "color ordering", fmt::format("window {} leaves the order to the unit while the rest of the set pins it", w.id)));
            }
            if (seen[w.color_ordering]) {
                return std::unexpected(
                    refuse("color ordering", fmt::format("read position {} is claimed twice", w.color_ordering)));
            }
            seen[w.color_ordering] = true;
        }
    }

    std::size_t planes = 0;
    switch (first.composition.kind()) {
        case Composition::Kind::MultilevelBW: planes = 1; break;
        case Composition::Kind::MultilevelRGB: planes = 3; break;
        default:
            return std::unexpected(refuse("image composition",
                                          fmt::format("{} puts no known number of planes in the stream", first.composition)));
    }
    std::size_t colors = 0;
    for (const auto& w : windows) colors += w.channel().infrared() ? 0 : 1;
    if (colors != planes) {
        return std::unexpected(refuse("image composition", fmt::format("{} carries {} plane(s) and this set scans {} color channel(s)",
                                                                       first.composition, planes, colors)));
    }
    return {};
}

}  // namespace vexlor::protocol::window
