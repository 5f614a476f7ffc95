// VPD page D1: which window settings the unit accepts, and the flag sets windows share.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string_view>
#include <utility>

#include "flags.hpp"
#include "protocol/caps/page.hpp"

namespace vexlor::protocol::caps::set_window {

struct ScanKindTag {
    using Bits = std::uint8_t;
    static constexpr std::string_view name = "ScanKind";
    static constexpr std::array<std::pair<std::string_view, Bits>, 7> names{{
        {"IMAGE", 0x01}, {"THUMBNAIL", 0x02}, {"SETUP_1", 0x04}, {"SETUP_2", 0x08},
        {"HISTOGRAM", 0x10}, {"AE", 0x20}, {"AE_WB", 0x40},
    }};
};
using ScanKind = Flags<ScanKindTag>;

struct ScanModeTag {
    using Bits = std::uint8_t;
    static constexpr std::string_view name = "ScanMode";
    static constexpr std::array<std::pair<std::string_view, Bits>, 5> names{{
        {"HIGH_QUALITY", 0x01}, {"NORMAL_QUALITY", 0x02}, {"HIGH_SPEED", 0x04},
        {"MULTI_READING", 0x10}, {"REVERSE_DIRECTION", 0x40},
    }};
};
using ScanMode = Flags<ScanModeTag>;

struct ColorInterleavingTag {
    using Bits = std::uint8_t;
    static constexpr std::string_view name = "ColorInterleaving";
    static constexpr std::array<std::pair<std::string_view, Bits>, 6> names{{
        {"PIXEL_WITHOUT_DISTANCE", 0x01}, {"LINE_WITHOUT_DISTANCE", 0x02}, {"PLANE", 0x04},
        {"PIXEL_WITH_DISTANCE", 0x10}, {"LINE_WITH_DISTANCE", 0x20}, {"MULTILINE_SIMULTANEOUS", 0x40},
    }};
};
using ColorInterleaving = Flags<ColorInterleavingTag>;

struct AnalogControlTag {
    using Bits = std::uint8_t;
    static constexpr std::string_view name = "AnalogControl";
    static constexpr std::array<std::pair<std::string_view, Bits>, 7> names{{
        {"GAMMA", 0x01}, {"EXPOSURE_TIME", 0x02}, {"ANALOG_GAIN", 0x04}, {"DIGITAL_GAIN", 0x08},
        {"ANALOG_SHIFT", 0x10}, {"ANALOG_OFFSET", 0x20}, {"EXPOSURE_VALUE", 0x40},
    }};
};
using AnalogControl = Flags<AnalogControlTag>;

namespace kind {
inline constexpr ScanKind IMAGE = ScanKind::named("IMAGE");
inline constexpr ScanKind THUMBNAIL = ScanKind::named("THUMBNAIL");
inline constexpr ScanKind SETUP_1 = ScanKind::named("SETUP_1");
inline constexpr ScanKind SETUP_2 = ScanKind::named("SETUP_2");
inline constexpr ScanKind HISTOGRAM = ScanKind::named("HISTOGRAM");
inline constexpr ScanKind AE = ScanKind::named("AE");
inline constexpr ScanKind AE_WB = ScanKind::named("AE_WB");
}  // namespace kind
namespace mode {
inline constexpr ScanMode HIGH_QUALITY = ScanMode::named("HIGH_QUALITY");
inline constexpr ScanMode NORMAL_QUALITY = ScanMode::named("NORMAL_QUALITY");
inline constexpr ScanMode HIGH_SPEED = ScanMode::named("HIGH_SPEED");
inline constexpr ScanMode MULTI_READING = ScanMode::named("MULTI_READING");
inline constexpr ScanMode REVERSE_DIRECTION = ScanMode::named("REVERSE_DIRECTION");
}  // namespace mode
namespace interleaving {
inline constexpr ColorInterleaving PIXEL_WITHOUT_DISTANCE = ColorInterleaving::named("PIXEL_WITHOUT_DISTANCE");
inline constexpr ColorInterleaving LINE_WITHOUT_DISTANCE = ColorInterleaving::named("LINE_WITHOUT_DISTANCE");
inline constexpr ColorInterleaving PLANE = ColorInterleaving::named("PLANE");
inline constexpr ColorInterleaving PIXEL_WITH_DISTANCE = ColorInterleaving::named("PIXEL_WITH_DISTANCE");
inline constexpr ColorInterleaving LINE_WITH_DISTANCE = ColorInterleaving::named("LINE_WITH_DISTANCE");
inline constexpr ColorInterleaving MULTILINE_SIMULTANEOUS = ColorInterleaving::named("MULTILINE_SIMULTANEOUS");
}  // namespace interleaving

struct SetWindowFunction {
    ScanKind kinds;
    ScanMode modes;
    ColorInterleaving interleavings;
    std::uint8_t colors = 0;  // bit 0x04: separate red, green and blue windows
    std::uint8_t depths = 0;  // 0x01 1 bit, 0x02 8, 0x04 10, 0x08 12, 0x10 14, 0x20 16
    std::uint8_t setup_max = 0;
    AnalogControl analog;
    std::uint32_t exposure_min = 0;  // ten-nanosecond units; both 0 without an exposure block
    std::uint32_t exposure_max = 0;

    static std::expected<SetWindowFunction, Error> from_page(const Page& page);
    bool operator==(const SetWindowFunction&) const = default;
};

}  // namespace vexlor::protocol::caps::set_window
