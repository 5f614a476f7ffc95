#include <gtest/gtest.h>

#include "protocol/caps/address.hpp"
#include "cpp/protocol/caps/page_bytes.hpp"

using namespace vexlor::protocol::caps;
using namespace vexlor::protocol::caps::address;
using vexlor::test::blank_page;
using vexlor::test::put;

namespace {

// One-byte flag fields: P = 5, D = 17, axis blocks at 18 and 40, sensor_pixels at 83-84,
// line_gap at 85 and ccd_lines at 86.
Page worked_example() {
    Page p = blank_page(0xC1, 87);
    put(p, 4, 0x72, 1);         // first flag field: read_units 0x02, other bits dropped
    put(p, 5, 0xAAAA, 2);       // not interpreted
    put(p, 7, 0xBBBB, 2);       // not interpreted
    put(p, 9, 0x8000, 2);       // max_transfer
    put(p, 11, 0xCCCC, 2);      // not interpreted
    put(p, 13, 0xDD, 1);        // not interpreted
    put(p, 14, 0x01, 1);        // holder_switch
    put(p, 15, 49, 1);          // holder
    put(p, 16, 0x7E, 1);        // second flag field: pitch_rule 2, framing_flags 0x5C
    put(p, 17, 18, 1);          // holder2
    for (const std::size_t s : {18, 40}) {
        const std::uint32_t k = s == 18 ? 0 : 1;
        put(p, s + 0, 4000 + k, 2);     // optical_dpi
        put(p, s + 2, 3999 - k, 2);     // max_dpi
        put(p, s + 4, 100 + k, 2);      // min_dpi
        put(p, s + 6, 70000 + k, 4);    // origin_max
        put(p, s + 10, 10 + k, 4);      // origin_min
        put(p, s + 14, 0xEEEEEEEE, 4);  // not interpreted
        put(p, s + 18, 90000 + k, 4);   // max_extent
    }
    put(p, 62, 0x11111111, 4);  // not interpreted
    put(p, 66, 0x22222222, 4);  // not interpreted
    put(p, 70, 1000, 2);        // thumbnail_dpi_max
    put(p, 72, 400, 2);         // thumbnail_dpi_min
    put(p, 74, 6, 1);           // frames_per_holder
    put(p, 75, 0x33, 1);        // not interpreted
    put(p, 76, 50, 2);          // focus_min
    put(p, 78, 900, 2);         // focus_max
    put(p, 80, 0x4444, 2);      // not interpreted
    put(p, 82, 0x55, 1);        // not interpreted
    put(p, 83, 4100, 2);        // sensor_pixels
    put(p, 85, 8, 1);           // line_gap
    put(p, 86, 4, 1);           // ccd_lines
    return p;
}

Address worked_example_record() {
    Address a;
    a.x = {.origin_min = 10, .origin_max = 70000, .min_dpi = 100, .max_dpi = 3999, .max_extent = 90000, .optical_dpi = 4000};
    a.y = {.origin_min = 11, .origin_max = 70001, .min_dpi = 101, .max_dpi = 3998, .max_extent = 90001, .optical_dpi = 4001};
    a.read_units = 0x02;
    a.max_transfer = 0x8000;
    a.holder_switch = 1;
    a.holder = 49;
    a.holder2 = 18;
    a.pitch_rule = 2;
    a.framing_flags = 0x5C;
    a.thumbnail_dpi_min = 400;
    a.thumbnail_dpi_max = 1000;
    a.focus_min = 50;
    a.focus_max = 900;
    a.frames_per_holder = 6;
    a.sensor_pixels = 4100;
    a.line_gap = 8;
    a.ccd_lines = 4;
    return a;
}

}  // namespace

TEST(AddressPage, WorkedExampleWithOneByteFlagFields) {
    EXPECT_EQ(Address::from_page(worked_example()), worked_example_record());
}

TEST(AddressPage, TwoByteSecondFlagFieldMovesEverythingAfterIt) {
    // Insert a second byte into the second flag field: holder2 at 18, X block at 19-40.
    Page p = worked_example();
    p.data[16] |= 0x80;
    p.data.insert(p.data.begin() + 17, 0x01);
    p.data[3] += 1;
    EXPECT_EQ(p.data[18], 18);
    EXPECT_EQ(p.data[19], 4000 >> 8);
    EXPECT_EQ(Address::from_page(p), worked_example_record());
}

TEST(AddressPage, CarriedBytesAndTheirDefaults) {
    struct Case {
        std::size_t size;
        std::uint8_t declared;  // byte 3
        std::uint8_t lines;     // byte 86 when received
        std::uint8_t want_gap, want_lines;
    };
    const Case cases[] = {
        {87, 83, 4, 8, 4},  // both present
        {87, 83, 0, 8, 3},  // a carried 0 reads as 3
        {86, 82, 0, 8, 3},  // ccd_lines not received
        {85, 81, 0, 0, 3},  // page ends right after sensor_pixels
        {87, 81, 4, 0, 3},  // received, but beyond what byte 3 declares
        {87, 82, 4, 8, 3},  // byte 3 covers line_gap only
    };
    for (const auto& c : cases) {
        Page p = vexlor::test::prefix(worked_example(), c.size);
        p.data[3] = c.declared;
        if (c.size > 86) p.data[86] = c.lines;
        const auto a = Address::from_page(p);
        ASSERT_TRUE(a.has_value()) << c.size;
        EXPECT_EQ(a->line_gap, c.want_gap) << c.size << " " << int{c.declared};
        EXPECT_EQ(a->ccd_lines, c.want_lines) << c.size << " " << int{c.declared};
    }
}

TEST(AddressPage, ZeroMeansAbsent) {
    Page p = worked_example();
    put(p, 9, 0, 2);
    put(p, 14, 0, 1);
    put(p, 15, 0, 1);
    put(p, 17, 0, 1);
    const auto a = Address::from_page(p);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->max_transfer, std::nullopt);
    EXPECT_EQ(a->holder_switch, std::nullopt);
    EXPECT_EQ(a->holder, std::nullopt);
    EXPECT_EQ(a->holder2, std::nullopt);
}

TEST(AddressPage, TruncatedNeedsInCheckOrder) {
    // Inside each axis block the min_dpi end (6) is checked before the max_dpi end (4), and the
    // origin_min end (14) before origin_max's (10); the thumbnail pair is one field.
    vexlor::test::expect_prefix_needs(worked_example(),
                                      {4, 5, 7, 9, 11, 13, 14, 15, 16, 17, 18,  // header, P..P+10, flags, holder2
                                       20, 24, 32, 36, 40,                      // X block
                                       42, 46, 54, 58, 62,                      // Y block
                                       66, 70, 74, 75, 76, 78, 80, 82, 83, 85},
                                      [](const Page& p) { return Address::from_page(p); });
    EXPECT_EQ(to_string(Address::from_page(vexlor::test::prefix(worked_example(), 84)).error()),
              "page C1h truncated: need 85 bytes, got 84");
}

TEST(AddressPage, FlagFieldErrorsPassThrough) {
    Page p = worked_example();
    for (std::size_t i = 4; i < 12; ++i) p.data[i] = 0x80;
    EXPECT_EQ(Address::from_page(p).error(), Error::bad_field(0xC1, 11, "flags run past 8 bytes", 0x80808080));
}
