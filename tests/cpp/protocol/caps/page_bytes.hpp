// Building VPD pages in tests by position, so every test states where each byte goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/caps/page.hpp"

namespace vexlor::test {

// A page of `size` bytes: header for `code`, byte 3 the length that follows it, the rest zero.
inline protocol::caps::Page blank_page(std::uint8_t code, std::size_t size) {
    protocol::caps::Page p{std::vector<std::uint8_t>(size, 0), code};
    if (size > 1) p.data[1] = code;
    if (size > 3) p.data[3] = static_cast<std::uint8_t>(size - 4);
    return p;
}

// A big-endian value of `width` bytes at `pos`.
inline void put(protocol::caps::Page& p, std::size_t pos, std::uint64_t v, std::size_t width) {
    ASSERT_LE(pos + width, p.data.size());
    for (std::size_t i = 0; i < width; ++i) p.data[pos + i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
}

// The first `n` bytes of a page, byte 3 left as it was.
inline protocol::caps::Page prefix(const protocol::caps::Page& p, std::size_t n) {
    return {std::vector<std::uint8_t>(p.data.begin(), p.data.begin() + static_cast<std::ptrdiff_t>(n)), p.code};
}

// Every prefix of `page` shorter than the last of `needs` (ascending) fails with Truncated, `need`
// being the first of `needs` beyond the prefix; every longer prefix parses.
template <class Parse>
void expect_prefix_needs(const protocol::caps::Page& page, const std::vector<std::size_t>& needs, Parse parse) {
    for (std::size_t n = 0; n < needs.back(); ++n) {
        std::size_t want = 0;
        for (const std::size_t need : needs) {
            if (need > n) {
                want = need;
                break;
            }
        }
        const auto r = parse(prefix(page, n));
        ASSERT_FALSE(r.has_value()) << "prefix of " << n << " bytes parsed";
        EXPECT_EQ(r.error(), protocol::caps::Error::truncated(page.code, want, n)) << "prefix of " << n << " bytes: "
                                                                                   << protocol::caps::to_string(r.error());
    }
    for (std::size_t n = needs.back(); n <= page.data.size(); ++n) {
        EXPECT_TRUE(parse(prefix(page, n)).has_value()) << "prefix of " << n << " bytes failed";
    }
}

}  // namespace vexlor::test
