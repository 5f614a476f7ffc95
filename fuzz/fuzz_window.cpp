// Window descriptors from arbitrary bytes: decoding never fails the process, a decoded window
// re-encodes to a descriptor that decodes to the same window, and validation is total.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "protocol/window.hpp"

using namespace vexlor::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> in(data, size);
    auto w = window::Window::try_from(in);
    if (!w) {
        if (size >= window::Window::size || w.error().got != size) std::abort();
        return 0;
    }
    const auto bytes = w->to_bytes();
    auto again = window::Window::try_from(bytes);
    if (!again || *again != *w) std::abort();

    // Capabilities from the bytes after the descriptor, so validation sees varied units.
    caps::Capabilities c;
    auto at = [&](std::size_t i) -> std::uint8_t { return i < size ? data[i] : 0; };
    c.address.x = {at(50), at(51) * 40u, at(52), static_cast<std::uint16_t>(at(53) * 20), at(54) * 30u, 4000};
    c.address.y = {at(55), at(56) * 40u, at(57), static_cast<std::uint16_t>(at(58) * 20), at(59) * 30u, 4000};
    c.address.sensor_pixels = static_cast<std::uint16_t>(at(60) << 8 | at(61));
    c.address.line_gap = at(62);
    c.address.thumbnail_dpi_min = at(63);
    c.address.thumbnail_dpi_max = static_cast<std::uint16_t>(at(64) * 4);
    c.set_window.kinds = caps::set_window::ScanKind::from_bits_retain(at(65));
    c.set_window.modes = caps::set_window::ScanMode::from_bits_retain(at(66));
    c.set_window.interleavings = caps::set_window::ColorInterleaving::from_bits_retain(at(67));
    c.set_window.depths = at(68);
    c.set_window.setup_max = at(69);
    c.set_window.exposure_min = at(70);
    c.set_window.exposure_max = at(71) * 1000u;
    (void)w->validate(c);

    const window::Window set[] = {*w, *again};
    (void)window::validate_set(set);
    (void)window::validate_set(std::span(set, 1));
    (void)window::to_string(w->channel());
    (void)window::to_string(w->composition);
    return 0;
}
