#include "protocol/caps/identity.hpp"

#include <fmt/format.h>

#include "bytes.hpp"
#include "text.hpp"

namespace vexlor::protocol::caps::identity {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Where each text lies in the standard INQUIRY data.
struct Field {
    std::size_t at;
    std::size_t size;
};
constexpr Field VENDOR{8, 8};
constexpr Field PRODUCT{16, 16};
constexpr Field REVISION{32, 4};

// Length of the maximal prefix of an invalid sequence at s[i], replaced by one U+FFFD (as the
// WHATWG and Unicode "best practice" decoders do).
std::size_t invalid_prefix(std::span<const std::uint8_t> s, std::size_t i) {
    const std::uint8_t b0 = s[i];
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 1;
    }
    std::size_t k = 1;
    for (; k < len && i + k < s.size(); ++k) {
        const std::uint8_t b = s[i + k];
        if (b < lo || b > hi) break;
        lo = 0x80, hi = 0xBF;
    }
    return k;
}

bool is_white_space(char32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
        case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

}  // namespace

std::string lenient_text(std::span<const std::uint8_t> s) {
    struct Piece {
        std::size_t begin, end;  // in the output
        bool space;
    };
    std::string out;
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const std::size_t start = out.size();
        if (const std::size_t n = text::utf8_sequence(s, i, cp)) {
            out.append(reinterpret_cast<const char*>(s.data() + i), n);
            pieces.push_back({start, out.size(), is_white_space(cp)});
            i += n;
        } else {
            out += replacement;
            pieces.push_back({start, out.size(), false});
            i += invalid_prefix(s, i);
        }
    }
    std::size_t first = 0, last = pieces.size();
    while (first < last && pieces[first].space) ++first;
    while (last > first && pieces[last - 1].space) --last;
    if (first == last) return {};
    return out.substr(pieces[first].begin, pieces[last - 1].end - pieces[first].begin);
}

std::expected<Identity, Error> Identity::parse(std::span<const std::uint8_t> inquiry) {
    // Not a page: the error names page 0.
    const auto data = bytes::Reader(inquiry).bytes(0, LENGTH);
    if (!data) return std::unexpected(Error::truncated(0, data.error().need, data.error().got));
    const std::span<const std::uint8_t> b = *data;
    Identity id;
    id.qualifier = b[0] >> 5;
    id.device_type = b[0] & 0x1F;
    id.removable = (b[1] & 0x80) != 0;
    id.version = b[2] & 0x07;
    id.vendor = lenient_text(b.subspan(VENDOR.at, VENDOR.size));
    id.product = lenient_text(b.subspan(PRODUCT.at, PRODUCT.size));
    id.revision = lenient_text(b.subspan(REVISION.at, REVISION.size));
    return id;
}

std::string debug_string(const Identity& id) {
    return fmt::format(
        "Identity {{ qualifier: {}, device_type: {}, removable: {}, version: {}, vendor: {}, product: {}, revision: {} }}",
        id.qualifier, id.device_type, id.removable, id.version, text::quoted(id.vendor), text::quoted(id.product),
        text::quoted(id.revision));
}

}  // namespace vexlor::protocol::caps::identity
