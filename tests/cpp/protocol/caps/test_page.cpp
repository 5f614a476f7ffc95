#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/caps/page.hpp"

using namespace vexlor::protocol::caps;

namespace {

// A page with a 4-byte header declaring `declared` bytes after byte 3, then `body`.
Page page(std::uint8_t code, std::uint8_t declared, std::vector<std::uint8_t> body) {
    std::vector<std::uint8_t> data{0x06, code, 0x00, declared};
    for (const auto b : body) data.push_back(b);
    return Page{std::move(data), code};
}

TEST(PageFlags, Reads) {
    struct Case {
        std::vector<std::uint8_t> body;  // the field starts at byte 4
        std::uint64_t value;
        std::size_t length;
    };
    const Case cases[] = {
        {{0x05}, 0x05, 1},
        {{0x05, 0x99}, 0x05, 1},
        {{0x81, 0x02}, 0x0281, 2},
        {{0x85, 0x80, 0x01}, 0x18085, 3},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F}, 0x7F80808080808080, 8},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF}, 0x7FFFFFFFFFFFFFFF, 8},
    };
    for (const auto& c : cases) {
        const auto p = page(0xE1, static_cast<std::uint8_t>(c.body.size()), c.body);
        const auto got = p.flags(4);
        ASSERT_TRUE(got.has_value()) << to_string(got.error());
        EXPECT_EQ(got->first, c.value);
        EXPECT_EQ(got->second, c.length);
    }
}

TEST(PageFlags, Errors) {
    struct Case {
        std::vector<std::uint8_t> body;
        std::size_t position;
        Error want;
        const char* text;
    };
    const Case cases[] = {
        // The page's last byte asks for another.
        {{0x01, 0x81}, 5, Error::truncated(0xE1, 7, 6), "page E1h truncated: need 7 bytes, got 6"},
        {{0x81, 0x82, 0x83}, 4, Error::truncated(0xE1, 8, 7), "page E1h truncated: need 8 bytes, got 7"},
        // At or past the end.
        {{0x01}, 5, Error::truncated(0xE1, 6, 5), "page E1h truncated: need 6 bytes, got 5"},
        {{0x01}, 9, Error::truncated(0xE1, 10, 5), "page E1h truncated: need 10 bytes, got 5"},
        // An eighth byte with bit 7 set.
        {{0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x01}, 4,
         Error::bad_field(0xE1, 11, "flags run past 8 bytes", 0x84838281),
         "page E1h byte 11: flags run past 8 bytes = 0x84838281"},
        {{0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}, 5,
         Error::bad_field(0xE1, 12, "flags run past 8 bytes", 0x80808080),
         "page E1h byte 12: flags run past 8 bytes = 0x80808080"},
    };
    for (const auto& c : cases) {
        const auto p = page(0xE1, static_cast<std::uint8_t>(c.body.size()), c.body);
        const auto got = p.flags(c.position);
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), c.want);
        EXPECT_EQ(to_string(got.error()), c.text);
    }
}

TEST(PageCarried, PresentOnlyInsideReceivedAndDeclared) {
    // Eight bytes received; the header declares 2 after byte 3 (so bytes 4 and 5).
    const auto p = page(0xC1, 2, {0x10, 0x11, 0x12, 0x13});
    EXPECT_EQ(p.carried_u8(4), std::uint8_t{0x10});
    EXPECT_EQ(p.carried_u8(5), std::uint8_t{0x11});
    EXPECT_EQ(p.carried_u8(6), std::nullopt);  // received, but beyond the declared length
    EXPECT_EQ(p.carried_u8(7), std::nullopt);
    // The header declares more than arrived.
    const auto q = page(0xC1, 200, {0x10, 0x11});
    EXPECT_EQ(q.carried_u8(5), std::uint8_t{0x11});
    EXPECT_EQ(q.carried_u8(6), std::nullopt);
    EXPECT_EQ(q.carried_u8(1000), std::nullopt);
    // The header byte itself counts as inside.
    EXPECT_EQ(q.carried_u8(3), std::uint8_t{200});
    // Too short to hold a header: nothing is carried.
    const Page tiny{{0x06, 0xC1}, 0xC1};
    EXPECT_EQ(tiny.carried_u8(0), std::nullopt);
}

TEST(PageError, Texts) {
    struct Case {
        Error e;
        const char* display;
        const char* debug;
    };
    const Case cases[] = {
        {Error::truncated(0xC1, 70, 61), "page C1h truncated: need 70 bytes, got 61",
         "Truncated { page: 193, need: 70, got: 61 }"},
        {Error::truncated(0x00, 36, 35), "page 00h truncated: need 36 bytes, got 35",
         "Truncated { page: 0, need: 36, got: 35 }"},
        {Error::bad_field(0xD1, 23, "parameter width", 5), "page D1h byte 23: parameter width = 0x05",
         R"(BadField { page: 209, byte: 23, what: "parameter width", value: 5 })"},
        {Error::bad_field(0xC8, 1, "page code", 0xC1), "page C8h byte 1: page code = 0xc1",
         R"(BadField { page: 200, byte: 1, what: "page code", value: 193 })"},
        {Error::bad_field(0x0A, 3, "page code", 0x1234), "page 0Ah byte 3: page code = 0x1234",
         R"(BadField { page: 10, byte: 3, what: "page code", value: 4660 })"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_string(c.e), c.display);
        EXPECT_EQ(debug_string(c.e), c.debug);
    }
}

TEST(PageReads, BigEndianInsideThePage) {
    const auto p = page(0xC1, 4, {0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(p.u8(7).value(), 0x78u);
    EXPECT_EQ(p.be16(5).value(), 0x3456u);
    EXPECT_EQ(p.be32(4).value(), 0x12345678u);
    EXPECT_EQ(p.bytes(6, 2).value()[1], 0x78u);
    // A field past the 8 bytes needs the position just past it, however far out it starts.
    EXPECT_EQ(p.u8(8).error(), Error::truncated(0xC1, 9, 8));
    EXPECT_EQ(p.be32(6).error(), Error::truncated(0xC1, 10, 8));
    EXPECT_EQ(p.bytes(20, 2).error(), Error::truncated(0xC1, 22, 8));
}

}  // namespace
