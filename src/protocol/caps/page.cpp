#include "protocol/caps/page.hpp"

#include <fmt/format.h>

#include "text.hpp"
#include "try.hpp"

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

namespace {

template <class T>
std::expected<T, Error> on_page(const Page& page, std::expected<T, bytes::Short> read) {
    if (!read) return std::unexpected(Error::truncated(page.code, read.error().need, read.error().got));
    return *read;
}

}  // namespace

std::expected<std::uint8_t, Error> Page::u8(std::size_t position) const {
    return on_page(*this, bytes::Reader(data).u8(position));
}

std::expected<std::uint16_t, Error> Page::be16(std::size_t position) const {
    return on_page(*this, bytes::Reader(data).be16(position));
}

std::expected<std::uint32_t, Error> Page::be32(std::size_t position) const {
    return on_page(*this, bytes::Reader(data).be32(position));
}

std::expected<std::span<const std::uint8_t>, Error> Page::bytes(std::size_t position, std::size_t size) const {
    return on_page(*this, bytes::Reader(data).bytes(position, size));
}

// Byte by byte, so a run cut short needs one byte more than the page holds.
std::expected<std::pair<std::uint64_t, std::size_t>, Error> Page::flags(std::size_t p) const {
    VX_TRY(std::uint8_t byte, u8(p));
    std::uint64_t value = byte;
    std::size_t len = 1;
    while (byte & 0x80) {
        if (len == 8) {
            // The low 32 bits hold the run's first four bytes.
            return std::unexpected(Error::bad_field(code, p + 7, "flags run past 8 bytes", static_cast<std::uint32_t>(value)));
        }
        VX_TRY(byte, u8(p + len));
        value |= std::uint64_t{byte} << (8 * len);
        ++len;
    }
    return std::pair{value, len};
}

std::optional<std::uint8_t> Page::carried_u8(std::size_t q) const {
    const auto length = u8(PAGE_LENGTH_AT);
    if (!length || q >= std::size_t{*length} + HEADER_SIZE) return std::nullopt;
    const auto byte = u8(q);
    if (!byte) return std::nullopt;
    return *byte;
}

}  // namespace vexlor::protocol::caps
