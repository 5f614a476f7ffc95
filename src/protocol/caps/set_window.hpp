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
inline constexpr ScanKind IMAGE = ScanKind::from_bits_retain(0x01);
inline constexpr ScanKind THUMBNAIL = ScanKind::from_bits_retain(0x02);
inline constexpr ScanKind SETUP_1 = ScanKind::from_bits_retain(0x04);
inline constexpr ScanKind SETUP_2 = ScanKind::from_bits_retain(0x08);
inline constexpr ScanKind HISTOGRAM = ScanKind::from_bits_retain(0x10);
inline constexpr ScanKind AE = ScanKind::from_bits_retain(0x20);
inline constexpr ScanKind AE_WB = ScanKind::from_bits_retain(0x40);
}  // namespace kind
namespace mode {
inline constexpr ScanMode HIGH_QUALITY = ScanMode::from_bits_retain(0x01);
inline constexpr ScanMode NORMAL_QUALITY = ScanMode::from_bits_retain(0x02);
inline constexpr ScanMode HIGH_SPEED = ScanMode::from_bits_retain(0x04);
inline constexpr ScanMode MULTI_READING = ScanMode::from_bits_retain(0x10);
inline constexpr ScanMode REVERSE_DIRECTION = ScanMode::from_bits_retain(0x40);
}  // namespace mode
namespace interleaving {
inline constexpr ColorInterleaving PIXEL_WITHOUT_DISTANCE = ColorInterleaving::from_bits_retain(0x01);
inline constexpr ColorInterleaving LINE_WITHOUT_DISTANCE = ColorInterleaving::from_bits_retain(0x02);
inline constexpr ColorInterleaving PLANE = ColorInterleaving::from_bits_retain(0x04);
inline constexpr ColorInterleaving PIXEL_WITH_DISTANCE = ColorInterleaving::from_bits_retain(0x10);
inline constexpr ColorInterleaving LINE_WITH_DISTANCE = ColorInterleaving::from_bits_retain(0x20);
inline constexpr ColorInterleaving MULTILINE_SIMULTANEOUS = ColorInterleaving::from_bits_retain(0x40);
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
