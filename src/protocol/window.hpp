// The 50-byte window descriptor of SET WINDOW / GET WINDOW, and the checks a window passes
// before it reaches the unit.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include <fmt/format.h>

#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/caps/set_window.hpp"

namespace vexlor::protocol::window {

// A window identifier read as a channel; bytes without a name are kept as Other.
class Channel {
public:
    enum class Kind { Default, Red, Green, Blue, NeutralGray, Infrared, Other };

    constexpr explicit Channel(std::uint8_t byte) : byte_(byte) {}
    // Not for Other, which gives Default.
    static constexpr Channel of(Kind kind) {
        return kind == Kind::Other ? Channel(ids[0]) : Channel(ids[static_cast<std::size_t>(kind)]);
    }

    constexpr std::uint8_t byte() const { return byte_; }
    constexpr Kind kind() const {
        for (std::size_t k = 0; k < ids.size(); ++k) {
            if (ids[k] == byte_) return static_cast<Kind>(k);
        }
        return Kind::Other;
    }
    constexpr bool infrared() const { return kind() == Kind::Infrared; }
    constexpr bool operator==(const Channel&) const = default;
    // Table order first, Other among themselves by byte.
    constexpr std::strong_ordering operator<=>(const Channel& o) const {
        if (auto c = kind() <=> o.kind(); c != 0) return c;
        return byte_ <=> o.byte_;
    }

private:
    // The identifier byte of each named kind, in Kind order.
    static constexpr std::array<std::uint8_t, 6> ids{0, 1, 2, 3, 4, 9};
    std::uint8_t byte_;
};

// Image composition; codes past the six named ones are kept as Unknown.
class Composition {
public:
    enum class Kind { BilevelBW, DitheredBW, MultilevelBW, BilevelRGB, DitheredRGB, MultilevelRGB, Unknown };

    constexpr Composition() = default;
    constexpr explicit Composition(std::uint8_t code) : code_(code) {}
    static constexpr Composition of(Kind kind) { return Composition(static_cast<std::uint8_t>(kind)); }  // not for Unknown

    constexpr std::uint8_t code() const { return code_; }
    constexpr Kind kind() const { return code_ <= 5 ? static_cast<Kind>(code_) : Kind::Unknown; }
    constexpr bool operator==(const Composition&) const = default;

private:
    std::uint8_t code_ = 0;
};

struct TooShort {
    std::size_t got;
    bool operator==(const TooShort&) const = default;
};

struct Window {
    std::uint8_t id = 0;
    bool auto_bit = false;
    std::uint16_t x_dpi = 0;
    std::uint16_t y_dpi = 0;  // 0 means the same as x_dpi
    std::uint32_t ulx = 0;
    std::uint32_t uly = 0;
    std::uint32_t width = 0;
    std::uint32_t length = 0;
    std::uint8_t brightness = 0;
    std::uint8_t threshold = 0;
    std::uint8_t contrast = 0;
    Composition composition;
    std::uint8_t bits = 0;
    std::uint16_t halftone = 0;
    std::uint8_t padding = 0;
    std::uint16_t bit_ordering = 0;
    std::uint8_t compression = 0;
    std::uint8_t compression_argument = 0;
    std::uint8_t multiple_reading = 0;  // readings per line minus one
    std::uint8_t color_ordering = 0;
    std::uint8_t setup_mode = 0;
    std::uint8_t byte41 = 0;
    caps::set_window::ScanKind kind;
    caps::set_window::ScanMode mode;
    caps::set_window::ColorInterleaving interleaving;
    std::uint8_t byte45 = 0;
    std::uint32_t exposure = 0;  // ten-nanosecond units

    static constexpr std::size_t size = 50;

    static std::expected<Window, TooShort> try_from(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, size> to_bytes() const;

    constexpr Channel channel() const { return Channel(id); }

    // Holds the window against what the unit reported; the first failing check is returned.
    error::Result<void> validate(const caps::Capabilities& caps) const;
    // One axis: the letter names it in the reasons (X with ulx and width, Y with uly and length).
    static error::Result<void> check_geometry(char letter, std::uint32_t origin, std::uint32_t size,
                                              const caps::address::Axis& axis);
    error::Result<void> check_sensor(const caps::address::Address& address) const;
    error::Result<void> check_multiple_reading(caps::set_window::ScanMode modes) const;
    error::Result<void> check_color_ordering() const;
    error::Result<void> check_exposure(const caps::set_window::SetWindowFunction& set_window) const;
    error::Result<void> check_fixed_fields() const;

    bool operator==(const Window&) const = default;
};

// The rules that bind the windows of one pass together, in set order.
error::Result<void> validate_set(std::span<const Window> windows);

std::string to_string(Channel c);
std::string to_string(Composition c);
inline std::string debug_string(Channel c) { return to_string(c); }
inline std::string debug_string(Composition c) { return to_string(c); }
std::string debug_string(const TooShort& e);

// An exposure time the unit offers: within its range, 0 included in the check.
error::Result<void> check_exposure_time(std::uint32_t time, const caps::set_window::SetWindowFunction& set_window);

}  // namespace vexlor::protocol::window

template <>
struct fmt::formatter<vexlor::protocol::window::Channel> : fmt::formatter<std::string> {
    auto format(vexlor::protocol::window::Channel c, fmt::format_context& ctx) const {
        return fmt::formatter<std::string>::format(vexlor::protocol::window::to_string(c), ctx);
    }
};
template <>
struct fmt::formatter<vexlor::protocol::window::Composition> : fmt::formatter<std::string> {
    auto format(vexlor::protocol::window::Composition c, fmt::format_context& ctx) const {
        return fmt::formatter<std::string>::format(vexlor::protocol::window::to_string(c), ctx);
    }
};
