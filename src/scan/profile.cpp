#include "scan/profile.hpp"

#include <array>
#include <utility>

#include "text.hpp"

namespace vexlor::scan::profile {

std::expected<Film, std::string> film_from_str(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, Film>, 7> names{{
        {"positive", Film::Positive},
        {"slide", Film::Positive},
        {"negative", Film::Negative},
        {"kodachrome", Film::Kodachrome},
        {"mono", Film::Mono},
        {"monochrome", Film::Mono},
        {"monochromenegative", Film::Mono},
    }};
    for (const auto& [name, film] : names) {
        if (text::equal_ignoring_ascii_case(text, name)) return film;
    }
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return std::unexpected("unknown film type " + text::quoted(lower));
}

bool locks_white_balance(Film film) { return film != Film::Negative; }

}  // namespace vexlor::scan::profile
