#include "protocol/caps/address.hpp"

#include "error.hpp"
#include "try.hpp"

namespace vexlor::protocol::caps::address {

namespace {

template <class T>
std::optional<T> nonzero(T v) {
    if (v == 0) return std::nullopt;
    return v;
}

// The 22-byte axis block at `s`. A short page reports the first field that does not fit in an
// order that is not the wire order (each lower bound before its upper), so that is the order
// the fields are read in.
std::expected<Axis, Error> axis(const Page& page, std::size_t s) {
    Axis a;
    VX_TRY(a.optical_dpi, page.be16(s + 0));
    VX_TRY(a.min_dpi, page.be16(s + 4));
    VX_TRY(a.max_dpi, page.be16(s + 2));
    VX_TRY(a.origin_min, page.be32(s + 10));
    VX_TRY(a.origin_max, page.be32(s + 6));
    VX_CHECK(page.bytes(s + 14, 4));  // not interpreted
    VX_TRY(a.max_extent, page.be32(s + 18));
    return a;
}

}  // namespace

std::expected<Address, Error> Address::from_page(const Page& page) {
    VX_CHECK(page.bytes(0, HEADER_SIZE));
    Address a;

    VX_TRY(const auto first, page.flags(HEADER_SIZE));
    a.read_units = static_cast<std::uint8_t>(first.first & 0x0F);
    const std::size_t p = HEADER_SIZE + first.second;

    VX_CHECK(page.bytes(p, 2));      // not interpreted
    VX_CHECK(page.bytes(p + 2, 2));  // not interpreted
    VX_TRY(const std::uint16_t max_transfer, page.be16(p + 4));
    VX_CHECK(page.bytes(p + 6, 2));  // not interpreted
    VX_CHECK(page.bytes(p + 8, 1));  // not interpreted
    VX_TRY(const std::uint8_t holder_switch, page.u8(p + 9));
    VX_TRY(const std::uint8_t holder, page.u8(p + 10));

    VX_TRY(const auto second, page.flags(p + 11));
    a.pitch_rule = static_cast<std::uint8_t>(second.first & 0x03);
    a.framing_flags = static_cast<std::uint8_t>(second.first & 0x5C);
    const std::size_t d = p + 11 + second.second;

    VX_TRY(const std::uint8_t holder2, page.u8(d));
    VX_TRY(a.x, axis(page, d + 1));
    VX_TRY(a.y, axis(page, d + 23));

    VX_CHECK(page.bytes(d + 45, 4));  // not interpreted
    VX_CHECK(page.bytes(d + 49, 4));  // not interpreted
    // The thumbnail resolutions are one field, the maximum first.
    VX_TRY(const std::uint32_t thumbnail, page.be32(d + 53));
    a.thumbnail_dpi_max = static_cast<std::uint16_t>(thumbnail >> 16);
    a.thumbnail_dpi_min = static_cast<std::uint16_t>(thumbnail);
    VX_TRY(a.frames_per_holder, page.u8(d + 57));
    VX_CHECK(page.bytes(d + 58, 1));  // not interpreted
    VX_TRY(a.focus_min, page.be16(d + 59));
    VX_TRY(a.focus_max, page.be16(d + 61));
    VX_CHECK(page.bytes(d + 63, 2));  // not interpreted
    VX_CHECK(page.bytes(d + 65, 1));  // not interpreted
    VX_TRY(a.sensor_pixels, page.be16(d + 66));

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
