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

}  // namespace

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
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        // C1 controls (U+0080..U+009F, encoded C2 80..C2 9F) are escaped like C0 ones.
        if (c == 0xC2 && i + 1 < s.size()) {
            const auto next = static_cast<unsigned char>(s[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                out += fmt::format("\\u{{{:x}}}", next);
                ++i;
                continue;
            }
        }
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
    }
    out += '"';
    return out;
}

}  // namespace vexlor::text
