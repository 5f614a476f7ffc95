#include "protocol/caps/address.hpp"

#include <array>

#include "error.hpp"
#include "try.hpp"

namespace vexlor::protocol::caps::address {

namespace {

template <class T>
std::optional<T> nonzero(T v) {
    if (v == 0) return std::nullopt;
    return v;
}

// The 22-byte axis block at `s`. Its field ends are checked in a fixed order that is not the
// wire order; a short page reports the first end in that order that does not fit.
std::expected<Axis, Error> axis(const Page& page, std::size_t s) {
    constexpr std::array<std::size_t, 7> ends{2, 6, 4, 14, 10, 18, 22};
    for (const std::size_t end : ends) {
        if (page.size() < s + end) return std::unexpected(page.truncated(s + end));
    }
    const std::uint8_t* b = page.data.data() + s;
    Axis a;
    a.optical_dpi = bytes::be16(b + 0);
    a.max_dpi = bytes::be16(b + 2);
    a.min_dpi = bytes::be16(b + 4);
    a.origin_max = bytes::be32(b + 6);
    a.origin_min = bytes::be32(b + 10);
    a.max_extent = bytes::be32(b + 18);
    return a;
}

}  // namespace

std::expected<Address, Error> Address::from_page(const Page& page) {
    if (page.size() < 4) return std::unexpected(page.truncated(4));
    Address a;

    VX_TRY(const auto first, page.flags(4));
    a.read_units = static_cast<std::uint8_t>(first.first & 0x0F);
    const std::size_t p = 4 + first.second;

    // Fixed fields from P to P+10, checked in wire order by where each ends.
    for (const std::size_t end : {2, 4, 6, 8, 9, 10, 11}) {
        if (page.size() < p + end) return std::unexpected(page.truncated(p + end));
    }
    const std::uint16_t max_transfer = bytes::be16(page.data.data() + p + 4);
    const std::uint8_t holder_switch = page.data[p + 9];
    const std::uint8_t holder = page.data[p + 10];

    VX_TRY(const auto second, page.flags(p + 11));
    a.pitch_rule = static_cast<std::uint8_t>(second.first & 0x03);
    a.framing_flags = static_cast<std::uint8_t>(second.first & 0x5C);
    const std::size_t d = p + 11 + second.second;

    if (page.size() < d + 1) return std::unexpected(page.truncated(d + 1));
    const std::uint8_t holder2 = page.data[d];
    VX_TRY(a.x, axis(page, d + 1));
    VX_TRY(a.y, axis(page, d + 23));

    // The fixed tail, as (position, width) in check order; the thumbnail pair is one field.
    constexpr std::array<std::pair<std::size_t, std::size_t>, 10> tail{{
        {45, 4}, {49, 4}, {53, 4}, {57, 1}, {58, 1}, {59, 2}, {61, 2}, {63, 2}, {65, 1}, {66, 2},
    }};
    for (const auto& [at, width] : tail) {
        if (page.size() < d + at + width) return std::unexpected(page.truncated(d + at + width));
    }
    const std::uint8_t* b = page.data.data() + d;
    a.thumbnail_dpi_max = bytes::be16(b + 53);
    a.thumbnail_dpi_min = bytes::be16(b + 55);
    a.frames_per_holder = b[57];
    a.focus_min = bytes::be16(b + 59);
    a.focus_max = bytes::be16(b + 61);
    a.sensor_pixels = bytes::be16(b + 66);

    a.line_gap = page.carried_u8(d + 68).value_or(0);
    const std::uint8_t lines = page.carried_u8(d + 69).value_or(0);
    a.ccd_lines = lines == 0 ? 3 : lines;

    a.max_transfer = nonzero(max_transfer);
    a.holder_switch = nonzero(holder_switch);
    a.holder = nonzero(holder);
    a.holder2 = nonzero(holder2);
    return a;
}

}  // namespace vexlor::protocol::caps::address
