// The film format of the loaded strip or holder: it fixes the expected frame length.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "error.hpp"

namespace vexlor::protocol::caps {
struct Capabilities;
}

namespace vexlor::protocol::caps::film {

// One of the named formats, or Custom with a frame length in millimetres.
class FilmFormat {
public:
    enum class Kind { IX240, F135, F135Half, F16, F645, F66, F67, F68, F69, Custom };

    constexpr explicit FilmFormat(Kind kind) : kind_(kind) {}
    static constexpr FilmFormat custom(std::uint32_t mm) { return FilmFormat(Kind::Custom, mm); }

    constexpr Kind kind() const { return kind_; }
    // The frame length of a Custom format; 0 for the named ones.
    constexpr std::uint32_t mm() const { return mm_; }
    constexpr bool operator==(const FilmFormat&) const = default;

    // Exact, case-sensitive names first, then a decimal length in millimetres.
    static std::expected<FilmFormat, std::string> parse(std::string_view text);
    // The given format, or the one the loaded holder fixes.
    static error::Result<FilmFormat> resolve(std::optional<FilmFormat> format, const Capabilities& caps);

private:
    constexpr FilmFormat(Kind kind, std::uint32_t mm) : kind_(kind), mm_(mm) {}
    Kind kind_;
    std::uint32_t mm_ = 0;
};

// The format a holder code fixes, if any.
std::optional<FilmFormat> from_holder(std::uint8_t code);

std::string to_string(FilmFormat f);
std::string debug_string(FilmFormat f);

}  // namespace vexlor::protocol::caps::film

template <>
struct fmt::formatter<vexlor::protocol::caps::film::FilmFormat> : fmt::formatter<std::string> {
    auto format(vexlor::protocol::caps::film::FilmFormat f, fmt::format_context& ctx) const {
        return fmt::formatter<std::string>::format(vexlor::protocol::caps::film::to_string(f), ctx);
    }
};
