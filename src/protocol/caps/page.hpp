// What every vital-product-data page parser shares: the received page, its flag-field and
// carried-byte readers, and the one page error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "bytes.hpp"

namespace vexlor::protocol::caps {

// The vendor pages a unit describes itself in.
namespace page_code {
inline constexpr std::uint8_t ADDRESS = 0xC1;
inline constexpr std::uint8_t FRAMES = 0xC8;
inline constexpr std::uint8_t SET_WINDOW = 0xD1;
inline constexpr std::uint8_t FEATURES = 0xE1;
inline constexpr std::uint8_t CCD = 0xE3;
}  // namespace page_code

// Every page starts with a 4-byte header: byte 1 repeats the page code, byte 3 counts the
// bytes the unit says follow it.
inline constexpr std::size_t HEADER_SIZE = 4;
inline constexpr std::size_t PAGE_CODE_AT = 1;
inline constexpr std::size_t PAGE_LENGTH_AT = 3;

struct Error {
    struct Truncated {
        std::uint8_t page;
        std::size_t need;
        std::size_t got;
        bool operator==(const Truncated&) const = default;
    };
    struct BadField {
        std::uint8_t page;
        std::size_t byte;
        std::string_view what;  // a fixed text naming the field: always a literal, see bad_field
        std::uint32_t value;
        bool operator==(const BadField&) const = default;
    };
    std::variant<Truncated, BadField> value;

    static Error truncated(std::uint8_t page, std::size_t need, std::size_t got) { return {Truncated{page, need, got}}; }
    // Takes the field's name as a literal only, so the view never outlives its text.
    template <std::size_t N>
    static Error bad_field(std::uint8_t page, std::size_t byte, const char (&what)[N], std::uint32_t value) {
        return {BadField{page, byte, std::string_view(what, N - 1), value}};
    }
    bool operator==(const Error&) const = default;
};

std::string to_string(const Error& e);
std::string debug_string(const Error& e);

// One VPD reply as received.
struct Page {
    std::vector<std::uint8_t> data;  // from the first byte; at most the allocation length asked for
    std::uint8_t code = 0;           // the page asked for; every error raised while parsing carries it

    // The variable-length flag field at `position`: its value (little-endian, bit 7 of every byte
    // kept) and its length in bytes.
    std::expected<std::pair<std::uint64_t, std::size_t>, Error> flags(std::size_t position) const;
    // The optional trailing byte at `position`: present only inside both the received bytes and
    // the page length the unit declared.
    std::optional<std::uint8_t> carried_u8(std::size_t position) const;

    std::size_t size() const { return data.size(); }

    // Big-endian fields read through the checked reader: one that runs past the received bytes
    // is this page's Truncated error, needing the position just past the field.
    std::expected<std::uint8_t, Error> u8(std::size_t position) const;
    std::expected<std::uint16_t, Error> be16(std::size_t position) const;
    std::expected<std::uint32_t, Error> be32(std::size_t position) const;
    // A run the page must hold, for fields that are checked but not interpreted.
    std::expected<std::span<const std::uint8_t>, Error> bytes(std::size_t position, std::size_t size) const;
};

}  // namespace vexlor::protocol::caps
