#include "text.hpp"

#include <fmt/format.h>

namespace vexlor::text {

namespace {

// Integer part, then the fraction without trailing zeros.
std::string decimal(std::uint64_t whole, std::uint64_t frac, std::uint64_t scale, std::string_view unit) {
    std::string out = std::to_string(whole);
    if (frac != 0) {
        std::string digits;
        for (std::uint64_t div = scale / 10; div > 0; div /= 10) {
            digits.push_back(static_cast<char>('0' + (frac / div) % 10));
        }
        while (!digits.empty() && digits.back() == '0') digits.pop_back();
        out += '.';
        out += digits;
    }
    out += unit;
    return out;
}

template <class F>
std::string join_bytes(std::span<const std::uint8_t> bytes, std::string_view sep, F&& one) {
    std::string out;
    out.reserve(bytes.size() * (2 + sep.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += sep;
        out += one(bytes[i]);
    }
    return out;
}


// Characters a debug form escapes: controls, format characters, separators other than the
// plain space, private use and non-characters. (Unassigned code points print as they are.)
bool unprintable(char32_t c) {
    if (c >= 0x80 && c <= 0xA0) return true;  // C1 controls, no-break space
    switch (c) {
        case 0xAD: case 0x061C: case 0x06DD: case 0x070F: case 0x08E2: case 0x1680: case 0x180E:
        case 0x202F: case 0x205F: case 0x3000: case 0xFEFF: case 0x110BD: case 0x110CD: case 0xE0001:
            return true;
        default: break;
    }
    return (c >= 0x0600 && c <= 0x0605) || (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x206F) || (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE000 && c <= 0xF8FF) ||
           (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE || (c >= 0x13430 && c <= 0x1343F) ||
           (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) || (c >= 0xE0020 && c <= 0xE007F) ||
           c >= 0xF0000;
}

}  // namespace

std::size_t utf8_sequence(std::span<const std::uint8_t> s, std::size_t i, char32_t& cp) {
    const std::uint8_t b0 = s[i];
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        if (i + k >= s.size() || (s[i + k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

std::string debug_duration(std::chrono::nanoseconds d) {
    const std::uint64_t ns = d.count() < 0 ? 0 : static_cast<std::uint64_t>(d.count());
    constexpr std::uint64_t s = 1'000'000'000, ms = 1'000'000, us = 1'000;
    if (ns >= s) return decimal(ns / s, ns % s, s, "s");
    if (ns >= ms) return decimal(ns / ms, ns % ms, ms, "ms");
    if (ns >= us) return decimal(ns / us, ns % us, us, "µs");
    return std::to_string(ns) + "ns";
}

std::string hex_list(std::span<const std::uint8_t> bytes) {
    return "[" + join_bytes(bytes, ", ", [](std::uint8_t b) { return fmt::format("{:02X}", b); }) + "]";
}

std::string lower_hex_list(std::span<const std::uint8_t> bytes) {
    return "[" + join_bytes(bytes, ", ", [](std::uint8_t b) { return fmt::format("{:02x}", b); }) + "]";
}

std::string dec_list(std::span<const std::uint8_t> bytes) {
    return "[" + join_bytes(bytes, ", ", [](std::uint8_t b) { return std::to_string(b); }) + "]";
}

std::string hex_dump(std::span<const std::uint8_t> bytes) {
    return join_bytes(bytes, " ", [](std::uint8_t b) { return fmt::format("{:02X}", b); });
}

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                case '\0': out += "\\0"; break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        out += fmt::format("\\u{{{:x}}}", c);
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        char32_t cp = 0;
        const std::size_t n =
            utf8_sequence(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), i, cp);
        if (n == 0) {  // not UTF-8: kept as it is
            out += static_cast<char>(c);
            ++i;
        } else {
            if (unprintable(cp)) {
                out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(cp));
            } else {
                out.append(s.substr(i, n));
            }
            i += n;
        }
    }
    out += '"';
    return out;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

}  // namespace vexlor::text
