// Big-endian reading and writing of wire records. Reads check bounds and say how many bytes
// the field needed, so parsers can report exactly where a record ran out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vexlor::bytes {

// A field that does not fit: `need` is the position just past it.
struct Short {
    std::size_t need;
    std::size_t got;
    bool operator==(const Short&) const = default;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t size() const { return data_.size(); }
    std::span<const std::uint8_t> data() const { return data_; }
    bool has(std::size_t pos, std::size_t width) const {
        return pos <= data_.size() && width <= data_.size() - pos;
    }

    std::expected<std::uint8_t, Short> u8(std::size_t pos) const { return narrow<std::uint8_t>(be(pos, 1)); }
    std::expected<std::uint16_t, Short> be16(std::size_t pos) const { return narrow<std::uint16_t>(be(pos, 2)); }
    std::expected<std::uint32_t, Short> be24(std::size_t pos) const { return narrow<std::uint32_t>(be(pos, 3)); }
    std::expected<std::uint32_t, Short> be32(std::size_t pos) const { return narrow<std::uint32_t>(be(pos, 4)); }
    std::expected<std::span<const std::uint8_t>, Short> bytes(std::size_t pos, std::size_t n) const {
        if (!has(pos, n)) return std::unexpected(Short{pos + n, data_.size()});
        return data_.subspan(pos, n);
    }

    // An unsigned big-endian value of `width` bytes (1 to 8).
    std::expected<std::uint64_t, Short> be(std::size_t pos, std::size_t width) const {
        if (!has(pos, width)) return std::unexpected(Short{pos + width, data_.size()});
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i) v = (v << 8) | data_[pos + i];
        return v;
    }

private:
    // libstdc++ 12 has no monadic operations on std::expected.
    template <class T>
    static std::expected<T, Short> narrow(std::expected<std::uint64_t, Short> v) {
        if (!v) return std::unexpected(v.error());
        return static_cast<T>(*v);
    }

    std::span<const std::uint8_t> data_;
};

// For records that are either whole or absent: the parsed record, or nothing when it ran short.
template <class T>
std::optional<T> whole(std::expected<T, Short> parsed) {
    if (!parsed) return std::nullopt;
    return std::move(*parsed);
}

// Unchecked reads for callers that have already checked the bounds.
inline std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
inline std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
    Writer& u8(std::uint8_t v) { out_.push_back(v); return *this; }
    Writer& be16(std::uint16_t v) { return be(v, 2); }
    Writer& be32(std::uint32_t v) { return be(v, 4); }
    Writer& be(std::uint64_t v, std::size_t width) {
        for (std::size_t i = width; i-- > 0;) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Writer& zeros(std::size_t n) { out_.insert(out_.end(), n, 0); return *this; }

private:
    std::vector<std::uint8_t>& out_;
};

// Writes into a fixed buffer at a position.
inline void put_be16(std::span<std::uint8_t> out, std::size_t pos, std::uint16_t v) {
    out[pos] = static_cast<std::uint8_t>(v >> 8);
    out[pos + 1] = static_cast<std::uint8_t>(v);
}
inline void put_be32(std::span<std::uint8_t> out, std::size_t pos, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) out[pos + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

}  // namespace vexlor::bytes
