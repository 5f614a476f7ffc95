#include "protocol/caps/film.hpp"

#include <array>
#include <utility>

#include "protocol/caps/caps.hpp"
#include "protocol/model.hpp"

namespace vexlor::protocol::caps::film {

namespace {

using Kind = FilmFormat::Kind;

struct Name {
    Kind kind;
    std::string_view display;
    std::string_view debug;
};

constexpr std::array<Name, 9> names{{
    {Kind::IX240, "IX240", "IX240"}, {Kind::F135, "135", "F135"}, {Kind::F135Half, "half", "F135Half"},
    {Kind::F16, "16", "F16"},        {Kind::F645, "645", "F645"}, {Kind::F66, "66", "F66"},
    {Kind::F67, "67", "F67"},        {Kind::F68, "68", "F68"},   {Kind::F69, "69", "F69"},
}};

// Accepted texts beyond the display names.
constexpr std::array<std::pair<std::string_view, Kind>, 3> aliases{{
    {"aps", Kind::IX240}, {"APS", Kind::IX240}, {"135half", Kind::F135Half},
}};

constexpr std::array<std::pair<std::uint8_t, Kind>, 9> holders{{
    {18, Kind::F16}, {25, Kind::F645}, {26, Kind::F66}, {27, Kind::F67}, {28, Kind::F68},
    {29, Kind::F69}, {49, Kind::F135}, {50, Kind::F135}, {53, Kind::IX240},
}};

const Name* name_of(Kind k) {
    for (const auto& n : names) {
        if (n.kind == k) return &n;
    }
    return nullptr;
}

// An unsigned 32-bit decimal: an optional "+", then one or more ASCII digits.
std::optional<std::uint32_t> decimal(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > 0xFFFFFFFFULL) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

}  // namespace

std::expected<FilmFormat, std::string> FilmFormat::parse(std::string_view text) {
    for (const auto& n : names) {
        if (text == n.display) return FilmFormat(n.kind);
    }
    for (const auto& [alias, kind] : aliases) {
        if (text == alias) return FilmFormat(kind);
    }
    if (const auto mm = decimal(text)) return custom(*mm);
    return std::unexpected(fmt::format("'{}' is neither a film format nor a height in mm", text));
}

std::optional<FilmFormat> from_holder(std::uint8_t code) {
    for (const auto& [holder, kind] : holders) {
        if (holder == code) return FilmFormat(kind);
    }
    return std::nullopt;
}

error::Result<FilmFormat> FilmFormat::resolve(std::optional<FilmFormat> format, const Capabilities& caps) {
    if (format) return *format;
    const auto model = model::from_product(caps.identity.product);
    if (!model) return std::unexpected(error::Error::unsupported("film format", "unrecognized model"));
    // The medium-format units read their holder from slot 1 whatever the switch says.
    const auto& a = caps.address;
    const bool medium = *model == model::Model::Ls8000 || *model == model::Model::Ls9000;
    const bool slot2 = !medium && a.holder_switch.value_or(0) != 0;
    const std::optional<std::uint8_t> code = slot2 ? a.holder2 : a.holder;
    if (!code || *code == 0) return std::unexpected(error::Error::unsupported("film format", "no holder loaded; supply a format"));
    if (const auto f = from_holder(*code)) return *f;
    std::string reason = "this holder does not fix it";
    if (*code >= 20 && *code <= 24) {
        reason += fmt::format(" (try: {}, {}, {})", to_string(FilmFormat(Kind::F66)), to_string(FilmFormat(Kind::F67)),
                              to_string(FilmFormat(Kind::F69)));
    }
    return std::unexpected(error::Error::unsupported("film format", std::move(reason)));
}

std::string to_string(FilmFormat f) {
    if (f.kind() == Kind::Custom) return fmt::format("{}", f.mm());
    return std::string(name_of(f.kind())->display);
}

std::string debug_string(FilmFormat f) {
    if (f.kind() == Kind::Custom) return fmt::format("Custom({})", f.mm());
    return std::string(name_of(f.kind())->debug);
}

}  // namespace vexlor::protocol::caps::film
