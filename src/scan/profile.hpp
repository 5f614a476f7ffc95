// Film types: their names, and which films meter their channels together.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace vexlor::scan::profile {

enum class Film { Positive, Negative, Kodachrome, Mono };

// Matched ignoring ASCII case; the error is the message for the caller.
std::expected<Film, std::string> film_from_str(std::string_view text);
bool locks_white_balance(Film film);

}  // namespace vexlor::scan::profile
