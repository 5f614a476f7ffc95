#include <gtest/gtest.h>
#include "cpp/refusal.hpp"

#include <vector>

#include "protocol/data.hpp"

using namespace vexlor;
using namespace vexlor::protocol::data;
using Bytes = std::vector<std::uint8_t>;

namespace {

using vexlor::test_support::expect_refused;

}  // namespace

TEST(FrameBoundary, EncodesInclusiveEdges) {
    Boundary b{{{10, 20, 110, 220}}};
    EXPECT_EQ(*b.to_bytes(), (Bytes{0x00, 0x14, 0x01, 0x00, 0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 0, 109, 0, 0, 0, 219}));
    Boundary zero{{{1, 2, 0, 0}}};
    EXPECT_EQ(*zero.to_bytes(), (Bytes{0x00, 0x14, 0x01, 0x00, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0}));

    Boundary full{std::vector<Rect>(255, Rect{1, 1, 2, 2})};
    auto bytes = full.to_bytes();
    ASSERT_EQ(bytes->size(), 4084u);
    EXPECT_EQ((*bytes)[0], 0x0F);
    EXPECT_EQ((*bytes)[1], 0xF4);
    EXPECT_EQ((*bytes)[2], 255);
}

TEST(FrameTables, CountRefusals) {
    const char* none = "no frames were measured, so there is no table to send";
    expect_refused(Boundary{}.to_bytes(), "frame table", none);
    expect_refused(BoundaryType2{}.to_bytes(), "frame table", none);
    expect_refused(Boundary{std::vector<Rect>(256)}.to_bytes(), "boundary", "256 frames cannot fit the one-byte count field");
    expect_refused(BoundaryType2{std::vector<FramePosition>(300)}.to_bytes(), "boundary_type2",
                   "300 frames cannot fit the one-byte count field");
}

TEST(FrameBoundary, AtFindsTheFirstHoldingRectangle) {
    EXPECT_EQ(Boundary{}.at(0, 0), std::nullopt);
    const Rect a{10, 10, 20, 20}, b{15, 15, 30, 30};
    Boundary t{{a, b}};
    EXPECT_EQ(t.at(10, 10), a);
    EXPECT_EQ(t.at(19, 19), a);  // overlap: the earlier one
    EXPECT_EQ(t.at(20, 15), b);  // right edge of a is outside it
    EXPECT_EQ(t.at(15, 20), b);  // bottom edge of a
    EXPECT_EQ(t.at(30, 16), std::nullopt);
    EXPECT_EQ(t.at(9, 12), std::nullopt);
}

TEST(FrameBoundaryType2, WireFormBothWays) {
    const FramePosition p{0x01020304, 0x0506, 7, 8};
    const Bytes one{0x00, 0x0A, 0x01, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(*BoundaryType2{{p}}.to_bytes(), one);
    EXPECT_EQ(BoundaryType2::from_bytes(one), BoundaryType2{{p}});
    EXPECT_EQ(BoundaryType2::from_bytes(Bytes{0, 2, 0, 0}), BoundaryType2{});
    Bytes byte3 = one;
    byte3[3] = 0x77;  // ignored when read
    byte3.push_back(0xEE);
    EXPECT_EQ(BoundaryType2::from_bytes(byte3), BoundaryType2{{p}});

    const Bytes refused[] = {
        {0, 10, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9, 9, 9, 9, 9},  // L is not 8n + 2
        {0, 10, 1, 0, 1, 2, 3, 4, 5, 6, 7},                             // fewer than L + 2 bytes
        {0, 2, 0},                                                      // three bytes
    };
    for (const auto& b : refused) EXPECT_EQ(BoundaryType2::from_bytes(b), std::nullopt);
    EXPECT_EQ(debug_string(p), "FramePosition { top: 16909060, perf_number: 1286, perf_decimal: 7, pulse_number: 8 }");
    EXPECT_EQ(debug_string(Rect{1, 2, 3, 4}), "Rect { top: 1, left: 2, bottom: 3, right: 4 }");
}

TEST(FrameBoundaryType2, RegisterReplacesInPlace) {
    struct Case {
        std::uint32_t top;
        std::size_t replaced;
    };
    const Case cases[] = {{250, 1}, {50, 0}, {300, 2}, {200, 1}, {1000, 2}};
    for (const auto& c : cases) {
        BoundaryType2 t{{{100, 1, 0, 0}, {200, 2, 0, 0}, {300, 3, 0, 0}}};
        auto expected = t.positions;
        const FramePosition p{c.top, 99, 1, 2};
        expected[c.replaced] = p;
        t.register_position(p);
        EXPECT_EQ(t.positions, expected) << c.top;
    }
    BoundaryType2 empty;
    empty.register_position({5, 1, 2, 3});
    EXPECT_EQ(empty.positions, (std::vector<FramePosition>{{5, 1, 2, 3}}));
}
