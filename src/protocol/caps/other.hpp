// VPD page E1: the unit's features.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flags.hpp"
#include "protocol/caps/page.hpp"

namespace vexlor::protocol::data {
class Op;
}

namespace vexlor::protocol::caps::other {

struct HostCooperationTag {
    using Bits = std::uint16_t;
    static constexpr std::string_view name = "HostCooperation";
    static constexpr std::array<std::pair<std::string_view, Bits>, 11> names{{
        {"THUMBNAIL", 0x0001}, {"AVERAGING", 0x0002}, {"REGISTRATION", 0x0004}, {"DARK_VOLTAGE", 0x0008},
        {"SHADING_CALIBRATION", 0x0010}, {"AUTOFOCUS", 0x0020}, {"SHADING_CORRECTION", 0x0040},
        {"MULTI_LINE", 0x0100}, {"PITCH_MAIN_SCAN", 0x0200}, {"TRUNCATED", 0x0400}, {"CCD_DATA", 0x0800},
    }};
};
using HostCooperation = Flags<HostCooperationTag>;

namespace cooperation {
inline constexpr HostCooperation THUMBNAIL = HostCooperation::from_bits_retain(0x0001);
inline constexpr HostCooperation AVERAGING = HostCooperation::from_bits_retain(0x0002);
inline constexpr HostCooperation REGISTRATION = HostCooperation::from_bits_retain(0x0004);
inline constexpr HostCooperation DARK_VOLTAGE = HostCooperation::from_bits_retain(0x0008);
inline constexpr HostCooperation SHADING_CALIBRATION = HostCooperation::from_bits_retain(0x0010);
inline constexpr HostCooperation AUTOFOCUS = HostCooperation::from_bits_retain(0x0020);
inline constexpr HostCooperation SHADING_CORRECTION = HostCooperation::from_bits_retain(0x0040);
inline constexpr HostCooperation MULTI_LINE = HostCooperation::from_bits_retain(0x0100);
inline constexpr HostCooperation PITCH_MAIN_SCAN = HostCooperation::from_bits_retain(0x0200);
inline constexpr HostCooperation TRUNCATED = HostCooperation::from_bits_retain(0x0400);
inline constexpr HostCooperation CCD_DATA = HostCooperation::from_bits_retain(0x0800);
}  // namespace cooperation

// Which EXECUTE operation codes (80h to FFh) the unit offers: eight 16-bit words.
struct ExecuteOps {
    std::array<std::uint16_t, 8> words{};

    bool offers(std::uint8_t code) const;
    // The offered codes, in increasing order.
    std::vector<data::Op> ops() const;
    bool operator==(const ExecuteOps&) const = default;
};

struct Features {
    HostCooperation cooperation;
    std::uint64_t data_types = 0;  // masked with 0x7F7F7F3F3F
    ExecuteOps execute_ops;
    std::uint8_t page_length = 0;

    // The support bit for a vendor data type code in each direction.
    bool supports_read(std::uint8_t data_type) const;
    bool supports_send(std::uint8_t data_type) const;

    static std::expected<Features, Error> from_page(const Page& page);
    bool operator==(const Features&) const = default;
};

std::string debug_string(const ExecuteOps& ops);

}  // namespace vexlor::protocol::caps::other
