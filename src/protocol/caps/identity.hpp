// The standard INQUIRY data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "protocol/caps/page.hpp"

namespace vexlor::protocol::caps::identity {

// The standard INQUIRY data the parser reads: bytes beyond these are ignored.
inline constexpr std::size_t LENGTH = 36;

struct Identity {
    std::uint8_t qualifier = 0;
    std::uint8_t device_type = 0;  // 6 is a scanner
    bool removable = false;
    std::uint8_t version = 0;
    std::string vendor;
    std::string product;
    std::string revision;

    // Needs LENGTH bytes.
    static std::expected<Identity, Error> parse(std::span<const std::uint8_t> bytes);
    bool operator==(const Identity&) const = default;
};

std::string debug_string(const Identity& id);

// Bytes decoded as UTF-8 with invalid sequences replaced by U+FFFD, then Unicode white space
// trimmed from both ends.
std::string lenient_text(std::span<const std::uint8_t> bytes);

}  // namespace vexlor::protocol::caps::identity
