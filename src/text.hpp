// Printed forms shared by every module: the debug forms of durations, optionals and byte
// lists, and the TRACE hex dump.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vexlor::text {

// A duration as "180s", "1.5s", "200ms", "12µs", "0ns": the largest unit in which the value
// is at least 1, with only the decimals it needs.
std::string debug_duration(std::chrono::nanoseconds d);

// "[70, 00, 05]": upper-case two-digit hex, comma and blank between.
std::string hex_list(std::span<const std::uint8_t> bytes);
// "[0a, ff]": lower-case two-digit hex.
std::string lower_hex_list(std::span<const std::uint8_t> bytes);
// "[18, 0, 36]": decimal.
std::string dec_list(std::span<const std::uint8_t> bytes);
// "12 00 00 00 24 00": upper-case pairs joined by single blanks.
std::string hex_dump(std::span<const std::uint8_t> bytes);

// The valid UTF-8 sequence at s[i]: its length (1 to 4) with its code point, or 0 when the
// bytes there are not valid UTF-8.
std::size_t utf8_sequence(std::span<const std::uint8_t> s, std::size_t i, char32_t& cp);

// A text between double quotes with backslash escapes, as a debug form prints it.
std::string quoted(std::string_view s);

// Equal when folding A-Z to a-z; other bytes compare as they are.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

// "Some(...)" around a debug form, or "None".
template <class T, class F>
std::string debug_option(const std::optional<T>& v, F&& debug) {
    if (!v) return "None";
    return "Some(" + std::string(debug(*v)) + ")";
}

}  // namespace vexlor::text
