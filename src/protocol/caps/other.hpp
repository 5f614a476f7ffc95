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
inline constexpr HostCooperation THUMBNAIL = HostCooperation::named("THUMBNAIL");
inline constexpr HostCooperation AVERAGING = HostCooperation::named("AVERAGING");
inline constexpr HostCooperation REGISTRATION = HostCooperation::named("REGISTRATION");
inline constexpr HostCooperation DARK_VOLTAGE = HostCooperation::named("DARK_VOLTAGE");
inline constexpr HostCooperation SHADING_CALIBRATION = HostCooperation::named("SHADING_CALIBRATION");
inline constexpr HostCooperation AUTOFOCUS = HostCooperation::named("AUTOFOCUS");
inline constexpr HostCooperation SHADING_CORRECTION = HostCooperation::named("SHADING_CORRECTION");
inline constexpr HostCooperation MULTI_LINE = HostCooperation::named("MULTI_LINE");
inline constexpr HostCooperation PITCH_MAIN_SCAN = HostCooperation::named("PITCH_MAIN_SCAN");
inline constexpr HostCooperation TRUNCATED = HostCooperation::named("TRUNCATED");
inline constexpr HostCooperation CCD_DATA = HostCooperation::named("CCD_DATA");
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
