#include <gtest/gtest.h>

#include "cpp/protocol/caps/page_bytes.hpp"
#include "protocol/caps/set_window.hpp"

using namespace vexlor::protocol::caps;
using namespace vexlor::protocol::caps::set_window;
using vexlor::test::blank_page;
using vexlor::test::put;

namespace {

// One-byte flag fields, N = 0, H = 9, W = 4: codes at 8-9, depths at 10, setup_max at 11, N at 13,
// analog at 14, H at 15, W at 16, limits at 17-20 and 21-24, trailing bytes at 25-27.
Page worked_example() {
    Page p = blank_page(0xD1, 28);
    put(p, 4, 0x7F, 1);  // kinds
    put(p, 5, 0x7F, 1);  // modes: unnamed bits 0x08 and 0x20 dropped
    put(p, 6, 0x7F, 1);  // interleavings: unnamed bit 0x08 dropped
    put(p, 7, 0x7F, 1);  // colors: low 4 bits kept
    put(p, 8, 0x2143, 2);
    put(p, 10, 0x7F, 1);  // depths: low 6 bits kept
    put(p, 11, 3, 1);     // setup_max
    put(p, 12, 0x99, 1);  // not interpreted
    put(p, 13, 0, 1);     // N
    put(p, 14, 0x26, 1);  // analog
    put(p, 15, 9, 1);     // H
    put(p, 16, 4, 1);     // W
    put(p, 17, 2000, 4);
    put(p, 21, 16000000, 4);
    put(p, 25, 0xABCDEF, 3);
    return p;
}

SetWindowFunction worked_example_record() {
    SetWindowFunction f;
    f.kinds = ScanKind::all();
    f.modes = ScanMode::all();
    f.interleavings = ColorInterleaving::all();
    f.colors = 0x0F;
    f.depths = 0x3F;
    f.setup_max = 3;
    f.analog = AnalogControl::from_bits_truncate(0x26);
    f.exposure_min = 2000;
    f.exposure_max = 16000000;
    return f;
}

}  // namespace

TEST(SetWindowPage, WorkedExample) {
    const auto f = SetWindowFunction::from_page(worked_example());
    ASSERT_TRUE(f.has_value()) << to_string(f.error());
    EXPECT_EQ(*f, worked_example_record());
    EXPECT_EQ(f->modes.bits(), 0x57);
    EXPECT_EQ(f->interleavings.bits(), 0x77);
    EXPECT_EQ(debug_string(f->analog), "AnalogControl(EXPOSURE_TIME | ANALOG_GAIN | ANALOG_OFFSET)");
}

TEST(SetWindowPage, TruncatedNeeds) {
    // Every byte of the limits and of the trailing three is checked on its own.
    vexlor::test::expect_prefix_needs(worked_example(),
                                      {5, 6, 7, 8, 9, 10, 11, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28},
                                      [](const Page& p) { return SetWindowFunction::from_page(p); });
}

TEST(SetWindowPage, ParameterWidths) {
    // Limits of width W at 17 and 17 + W; H = 9 whatever W is, so the trailing bytes stay at 25-27.
    struct Case {
        std::uint8_t width;
        std::uint32_t min, max;
    };
    const Case cases[] = {{1, 0x12, 0xFE}, {2, 0x1234, 0xFEDC}, {3, 0x123456, 0xFEDCBA}, {4, 0x12345678, 0xFEDCBA98}};
    for (const auto& c : cases) {
        Page p = worked_example();
        put(p, 16, c.width, 1);
        put(p, 17, 0, 8);
        put(p, 17, c.min, c.width);
        put(p, 17 + c.width, c.max, c.width);
        const auto f = SetWindowFunction::from_page(p);
        ASSERT_TRUE(f.has_value()) << int{c.width};
        EXPECT_EQ(f->exposure_min, c.min);
        EXPECT_EQ(f->exposure_max, c.max);
    }
    for (const std::uint8_t bad : {0, 5}) {
        Page p = worked_example();
        put(p, 16, bad, 1);
        EXPECT_EQ(SetWindowFunction::from_page(p).error(), Error::bad_field(0xD1, 16, "parameter width", bad));
    }
}

TEST(SetWindowPage, SkippedBytesMoveTheAnalogField) {
    // N = 5 skips bytes 14-18: analog at 19, H at 20; with N = 7 the width byte is byte 23.
    Page p = blank_page(0xD1, 26);
    for (std::size_t i = 4; i < 8; ++i) p.data[i] = 0x01;
    put(p, 13, 5, 1);
    for (std::size_t i = 14; i < 19; ++i) p.data[i] = 0x7F;  // would read as every analog bit
    put(p, 19, 0x02, 1);
    put(p, 20, 0, 1);  // H = 0; trailing bytes at 21-23
    const auto f = SetWindowFunction::from_page(p);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->analog, AnalogControl::from_bits_truncate(0x02));

    Page q = blank_page(0xD1, 40);
    put(q, 13, 7, 1);
    put(q, 22, 11, 1);  // H
    put(q, 23, 5, 1);   // W
    const auto e = SetWindowFunction::from_page(q);
    ASSERT_FALSE(e.has_value());
    EXPECT_EQ(to_string(e.error()), "page D1h byte 23: parameter width = 0x05");
}

TEST(SetWindowPage, NoExposureBlock) {
    // H = 0: both limits 0, and the three trailing bytes follow the H byte at once.
    Page p = vexlor::test::prefix(worked_example(), 19);
    put(p, 15, 0, 1);
    p.data[3] = 15;
    const auto f = SetWindowFunction::from_page(p);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->exposure_min, 0u);
    EXPECT_EQ(f->exposure_max, 0u);
    EXPECT_EQ(SetWindowFunction::from_page(vexlor::test::prefix(p, 18)).error(), Error::truncated(0xD1, 19, 18));
}

TEST(FlagSets, TextForms) {
    EXPECT_EQ(debug_string(ScanKind()), "ScanKind(0x0)");
    EXPECT_EQ(debug_string(interleaving::LINE_WITHOUT_DISTANCE | interleaving::MULTILINE_SIMULTANEOUS),
              "ColorInterleaving(LINE_WITHOUT_DISTANCE | MULTILINE_SIMULTANEOUS)");
    EXPECT_EQ(debug_string(ScanMode::from_bits_retain(0x89)), "ScanMode(HIGH_QUALITY | 0x88)");
}
