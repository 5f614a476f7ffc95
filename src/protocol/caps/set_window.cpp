#include "protocol/caps/set_window.hpp"

#include "error.hpp"
#include "try.hpp"

namespace vexlor::protocol::caps::set_window {

namespace {

// A value of `width` bytes, most significant first, read one byte at a time so a short page
// names the first byte that is missing.
std::expected<std::uint32_t, Error> bytewise(const Page& page, std::size_t p, std::size_t width) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        VX_TRY(const std::uint8_t b, page.u8(p + i));
        v = (v << 8) | b;
    }
    return v;
}

}  // namespace

std::expected<SetWindowFunction, Error> SetWindowFunction::from_page(const Page& page) {
    SetWindowFunction f;
    std::size_t at = HEADER_SIZE;

    VX_TRY(const auto kinds, page.flags(at));
    f.kinds = ScanKind::from_bits_truncate(kinds.first);
    at += kinds.second;
    VX_TRY(const auto modes, page.flags(at));
    f.modes = ScanMode::from_bits_truncate(modes.first);
    at += modes.second;
    VX_TRY(const auto interleavings, page.flags(at));
    f.interleavings = ColorInterleaving::from_bits_truncate(interleavings.first);
    at += interleavings.second;
    VX_TRY(const auto colors, page.flags(at));
    f.colors = static_cast<std::uint8_t>(colors.first & 0x0F);
    at += colors.second;

    // Four 4-bit codes, not interpreted.
    const std::size_t q = at;
    VX_CHECK(page.u8(q));
    VX_CHECK(page.u8(q + 1));

    VX_TRY(const auto depths, page.flags(q + 2));
    f.depths = static_cast<std::uint8_t>(depths.first & 0x3F);
    const std::size_t r = q + 2 + depths.second;

    // The three bytes from R are checked together.
    VX_TRY(const auto fixed, page.bytes(r, 3));
    f.setup_max = fixed[0];
    const std::size_t skipped = fixed[2];

    VX_TRY(const auto analog, page.flags(r + 3 + skipped));
    f.analog = AnalogControl::from_bits_truncate(analog.first);
    const std::size_t s = r + 3 + skipped + analog.second;

    VX_TRY(const std::uint8_t h, page.u8(s));
    if (h != 0) {
        VX_TRY(const std::uint8_t w, page.u8(s + 1));
        if (w < 1 || w > 4) return std::unexpected(Error::bad_field(page.code, s + 1, "parameter width", w));
        // Read from S+2 whatever the block length says; only the trailing bytes follow H.
        VX_TRY(f.exposure_min, bytewise(page, s + 2, w));
        VX_TRY(f.exposure_max, bytewise(page, s + 2 + w, w));
    }
    VX_CHECK(bytewise(page, s + 1 + h, 3));
    return f;
}

}  // namespace vexlor::protocol::caps::set_window
