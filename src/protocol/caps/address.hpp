// VPD page C1: how the unit is addressed.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "protocol/caps/page.hpp"

namespace vexlor::protocol::caps::address {

struct Axis {
    std::uint32_t origin_min = 0;
    std::uint32_t origin_max = 0;
    std::uint16_t min_dpi = 0;
    std::uint16_t max_dpi = 0;
    std::uint32_t max_extent = 0;
    std::uint16_t optical_dpi = 0;
    bool operator==(const Axis&) const = default;
};

struct Address {
    Axis x;
    Axis y;
    std::uint8_t read_units = 0;
    std::optional<std::uint16_t> max_transfer;
    std::optional<std::uint8_t> holder_switch;
    std::optional<std::uint8_t> holder;
    std::optional<std::uint8_t> holder2;
    std::uint8_t pitch_rule = 0;  // 0..3
    std::uint8_t framing_flags = 0;
    std::uint16_t thumbnail_dpi_min = 0;
    std::uint16_t thumbnail_dpi_max = 0;
    std::uint16_t focus_min = 0;
    std::uint16_t focus_max = 0;
    std::uint8_t frames_per_holder = 0;
    std::uint16_t sensor_pixels = 0;
    std::uint8_t line_gap = 0;
    std::uint8_t ccd_lines = 3;

    static std::expected<Address, Error> from_page(const Page& page);
    bool operator==(const Address&) const = default;
};

// Bit of `framing_flags`: the unit publishes a frame table in VPD C8 and positions film by it.
inline constexpr std::uint8_t PUBLISHES_FRAMES = 0x40;
// Bits of `read_units`: image READ lengths are cut in whole line groups, or in whole channel lines.
inline constexpr std::uint8_t READS_LINE_GROUPS = 0x02;
inline constexpr std::uint8_t READS_CHANNEL_LINES = 0x04;

}  // namespace vexlor::protocol::caps::address
