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
    bytes::Reader reader() const { return bytes::Reader(data); }
    Error truncated(std::size_t need) const { return Error::truncated(code, need, data.size()); }
    // A big-endian field of `width` bytes that must lie inside the page.
    std::expected<std::uint64_t, Error> field(std::size_t position, std::size_t width) const;
};

}  // namespace vexlor::protocol::caps
