#include "protocol/caps/page.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "text.hpp"

namespace vexlor::protocol::caps {

std::string to_string(const Error& e) {
    if (const auto* t = std::get_if<Error::Truncated>(&e.value)) {
        return fmt::format("page {:02X}h truncated: need {} bytes, got {}", t->page, t->need, t->got);
    }
    const auto& b = std::get<Error::BadField>(e.value);
    return fmt::format("page {:02X}h byte {}: {} = {:#04x}", b.page, b.byte, b.what, b.value);
}

std::string debug_string(const Error& e) {
    if (const auto* t = std::get_if<Error::Truncated>(&e.value)) {
        return fmt::format("Truncated {{ page: {}, need: {}, got: {} }}", t->page, t->need, t->got);
    }
    const auto& b = std::get<Error::BadField>(e.value);
    return fmt::format("BadField {{ page: {}, byte: {}, what: {}, value: {} }}", b.page, b.byte, text::quoted(b.what),
                       b.value);
}

std::expected<std::pair<std::uint64_t, std::size_t>, Error> Page::flags(std::size_t p) const {
    const std::size_t n = data.size();
    if (p >= n) return std::unexpected(truncated(std::max(p, n) + 1));
    std::uint64_t value = data[p];
    std::size_t len = 1;
    while (data[p + len - 1] & 0x80) {
        if (len == 8) {
            std::uint32_t first4 = 0;
            for (std::size_t i = 0; i < 4; ++i) first4 |= std::uint32_t{data[p + i]} << (8 * i);
            return std::unexpected(Error::bad_field(code, p + 7, "flags run past 8 bytes", first4));
        }
        if (p + len >= n) return std::unexpected(truncated(n + 1));
        value |= std::uint64_t{data[p + len]} << (8 * len);
        ++len;
    }
    return std::pair{value, len};
}

std::optional<std::uint8_t> Page::carried_u8(std::size_t q) const {
    const std::size_t declared = data.size() > PAGE_LENGTH_AT ? std::size_t{data[PAGE_LENGTH_AT]} + HEADER_SIZE : 0;
    const std::size_t limit = std::min(data.size(), declared);
    if (q < limit) return data[q];
    return std::nullopt;
}

std::expected<std::uint64_t, Error> Page::field(std::size_t position, std::size_t width) const {
    auto v = reader().be(position, width);
    if (!v) return std::unexpected(truncated(v.error().need));
    return *v;
}

}  // namespace vexlor::protocol::caps
