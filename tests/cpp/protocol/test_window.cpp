#include <gtest/gtest.h>
#include "cpp/refusal.hpp"

#include <array>
#include <functional>
#include <random>
#include <vector>

#include "diag/log.hpp"
#include "protocol/window.hpp"

using namespace vexlor;
using namespace vexlor::protocol;
using window::Channel;
using window::Composition;
using window::Window;
namespace sw = protocol::caps::set_window;

namespace {

using vexlor::test_support::expect_refused;

// A unit that offers a little of everything, and a window it accepts.
caps::Capabilities unit() {
    caps::Capabilities c;
    c.address.x = {0, 100, 50, 4000, 4000, 4000};
    c.address.y = {0, 6000, 50, 4000, 6000, 4000};
    c.address.thumbnail_dpi_min = 100;
    c.address.thumbnail_dpi_max = 500;
    c.address.sensor_pixels = 5000;
    c.address.line_gap = 0;
    c.set_window.kinds = sw::kind::IMAGE | sw::kind::THUMBNAIL | sw::kind::SETUP_2;
    c.set_window.modes = sw::mode::HIGH_QUALITY | sw::mode::MULTI_READING;
    c.set_window.interleavings = sw::interleaving::LINE_WITHOUT_DISTANCE | sw::interleaving::MULTILINE_SIMULTANEOUS;
    c.set_window.depths = 0x2B;  // 1, 8, 12, 16
    c.set_window.setup_max = 3;
    c.set_window.exposure_min = 100;
    c.set_window.exposure_max = 1000;
    return c;
}

Window good() {
    Window w;
    w.id = 1;
    w.x_dpi = 1000;
    w.ulx = 10;
    w.uly = 20;
    w.width = 3000;
    w.length = 4000;
    w.composition = Composition::of(Composition::Kind::MultilevelRGB);
    w.bits = 16;
    w.kind = sw::kind::IMAGE;
    w.mode = sw::mode::HIGH_QUALITY;
    w.interleaving = sw::interleaving::LINE_WITHOUT_DISTANCE;
    return w;
}

}  // namespace

TEST(WindowDescriptor, ShortSlicesAreRefusedWithTheirLength) {
    for (std::size_t n : {0u, 1u, 49u}) {
        std::vector<std::uint8_t> b(n, 0);
        auto w = Window::try_from(b);
        ASSERT_FALSE(w.has_value());
        EXPECT_EQ(w.error(), window::TooShort{n});
    }
    EXPECT_EQ(window::debug_string(window::TooShort{49}), "TooShort { got: 49 }");

    std::vector<std::uint8_t> long_one(60, 0xA5);
    std::vector<std::uint8_t> exact(long_one.begin(), long_one.begin() + 50);
    EXPECT_EQ(Window::try_from(long_one), Window::try_from(exact));
}

TEST(WindowDescriptor, EncodesEveryFieldAtItsPlace) {
    Window w;
    w.id = 9;
    w.auto_bit = true;
    w.x_dpi = 0x0FA0;
    w.y_dpi = 0x07D0;
    w.ulx = 0x01020304;
    w.uly = 0x05060708;
    w.width = 0x090A0B0C;
    w.length = 0x0D0E0F10;
    w.brightness = 0x11;
    w.threshold = 0x12;
    w.contrast = 0x13;
    w.composition = Composition(5);
    w.bits = 14;
    w.halftone = 0x1415;
    w.padding = 0x16;
    w.bit_ordering = 0x1718;
    w.compression = 0x19;
    w.compression_argument = 0x1A;
    w.multiple_reading = 3;
    w.color_ordering = 2;
    w.setup_mode = 5;
    w.byte41 = 0xA1;
    w.kind = sw::kind::IMAGE | sw::kind::AE;
    w.mode = sw::mode::MULTI_READING;
    w.interleaving = sw::interleaving::MULTILINE_SIMULTANEOUS;
    w.byte45 = 0xFF;
    w.exposure = 0x1B1C1D1E;
    const std::array<std::uint8_t, 50> expected{
        0x09, 0x01, 0x0F, 0xA0, 0x07, 0xD0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
        0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x05, 0x0E, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32, 0xAB, 0x21, 0x10, 0x40, 0xFF, 0x1B, 0x1C, 0x1D, 0x1E,
    };
    EXPECT_EQ(w.to_bytes(), expected);
    EXPECT_EQ(Window::try_from(expected), w);
}

TEST(WindowDescriptor, UndefinedBitsAreDroppedOnTheWayThrough) {
    struct Case {
        std::size_t offset;
        std::uint8_t in;
        std::uint8_t out;
    };
    const Case cases[] = {
        {1, 0xFF, 0x01}, {34, 0x55, 0x00}, {39, 0xFF, 0x00}, {41, 0x10, 0x00}, {41, 0xFF, 0xEF},
        {42, 0xFF, 0x7F}, {43, 0xFF, 0x57}, {44, 0xFF, 0x77}, {40, 0x21, 0x21}, {25, 7, 7},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 50> b{};
        b[c.offset] = c.in;
        auto w = Window::try_from(b);
        ASSERT_TRUE(w.has_value());
        EXPECT_EQ(w->to_bytes()[c.offset], c.out) << "byte " << c.offset;
    }

    std::array<std::uint8_t, 50> b{};
    b[42] = 0xFF;
    EXPECT_EQ(Window::try_from(b)->kind, sw::ScanKind::all());
    b[40] = 0x21;
    b[25] = 7;
    auto w = *Window::try_from(b);
    EXPECT_EQ(w.multiple_reading, 2);
    EXPECT_EQ(w.color_ordering, 1);
    EXPECT_EQ(w.composition.kind(), Composition::Kind::Unknown);
    EXPECT_EQ(w.composition.code(), 7);
    b[25] = 5;
    EXPECT_EQ(Window::try_from(b)->composition.kind(), Composition::Kind::MultilevelRGB);
}

TEST(WindowDescriptor, DescriptorsOfDefinedBitsSurviveDecodingAndEncoding) {
    std::mt19937 rng(1);
    for (int i = 0; i < 200; ++i) {
        std::array<std::uint8_t, 50> b{};
        for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        b[1] &= 0x01;
        for (std::size_t r = 34; r < 40; ++r) b[r] = 0;
        b[41] &= 0xEF;
        b[42] &= 0x7F;
        b[43] &= 0x57;
        b[44] &= 0x77;
        EXPECT_EQ(Window::try_from(b)->to_bytes(), b);
    }
}

TEST(WindowChannel, NamesBytesAndOrder) {
    const std::pair<std::uint8_t, std::string_view> names[] = {
        {0, "Default"}, {1, "Red"}, {2, "Green"}, {3, "Blue"}, {4, "NeutralGray"},
        {9, "Infrared"}, {5, "Other(5)"}, {8, "Other(8)"}, {10, "Other(10)"}, {255, "Other(255)"},
    };
    for (const auto& [byte, text] : names) EXPECT_EQ(window::to_string(Channel(byte)), text);
    EXPECT_EQ(Channel(5).kind(), Channel::Kind::Other);
    EXPECT_EQ(Channel(10).kind(), Channel::Kind::Other);
    for (int b = 0; b < 256; ++b) {
        const Channel c(static_cast<std::uint8_t>(b));
        if (c.kind() != Channel::Kind::Other) {
            EXPECT_EQ(Channel::of(c.kind()), c);
        }
    }
    const std::vector<Channel> sorted{Channel(0), Channel(1), Channel(2), Channel(3), Channel(4),
                                      Channel(9), Channel(5), Channel(8), Channel(10), Channel(200)};
    for (std::size_t i = 1; i < sorted.size(); ++i) EXPECT_LT(sorted[i - 1], sorted[i]) << i;

    EXPECT_EQ(window::to_string(Composition(2)), "MultilevelBW");
    EXPECT_EQ(window::to_string(Composition(0)), "BilevelBW");
    EXPECT_EQ(window::to_string(Composition(200)), "Unknown(200)");
}

TEST(WindowValidate, AcceptsTheGoodWindow) {
    EXPECT_TRUE(good().validate(unit()).has_value());
}

struct Refusal {
    const char* name;
    std::function<void(Window&, caps::Capabilities&)> change;
    const char* label;
    const char* reason;
};

class WindowRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(WindowRefusal, NamesTheFieldAndSection) {
    Window w = good();
    auto c = unit();
    GetParam().change(w, c);
    expect_refused(w.validate(c), GetParam().label, GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, WindowRefusal,
    testing::Values(
        Refusal{"gray_id", [](Window& w, caps::Capabilities&) { w.id = 4; }, "window identifier",
                "4 is not a scanning color: 2-10-4 defines 0 to 3, and 9 is infrared"},
        Refusal{"dpi", [](Window& w, caps::Capabilities&) { w.x_dpi = 4001; }, "resolution",
                "4001 dpi is outside the 50 to 4000 this unit offers for images"},
        Refusal{"thumbnail_dpi", [](Window& w, caps::Capabilities&) { w.kind = sw::kind::THUMBNAIL; }, "resolution",
                "1000 dpi is outside the 100 to 500 this unit offers for thumbnails"},
        Refusal{"origin", [](Window& w, caps::Capabilities&) { w.ulx = 101; }, "window origin", "X 101 is outside 0 to 100"},
        Refusal{"empty_y", [](Window& w, caps::Capabilities&) { w.length = 0; }, "window size", "Y is empty"},
        Refusal{"fixed_origin", [](Window& w, caps::Capabilities& c) {
                    c.address.y.origin_min = c.address.y.origin_max = 20;
                    w.length = 5999;
                }, "window size", "Y cannot be cropped, so it has to be exactly 6000"},
        Refusal{"sensor", [](Window& w, caps::Capabilities&) { w.ulx = 100; w.width = 4901; }, "window size",
                "X 4901 from 100 runs past the 5000 pixel sensor"},
        Refusal{"sensor_zero", [](Window&, caps::Capabilities& c) { c.address.sensor_pixels = 0; }, "window size",
                "X 3000 from 10 runs past the 0 pixel sensor"},
        Refusal{"kind_empty", [](Window& w, caps::Capabilities&) { w.kind = {}; }, "scanning kind",
                "asked for 0x00 of the 0x0b this unit offers"},
        Refusal{"mode", [](Window& w, caps::Capabilities&) { w.mode = sw::mode::HIGH_SPEED; }, "scanning mode",
                "asked for 0x04 of the 0x11 this unit offers"},
        Refusal{"interleaving", [](Window& w, caps::Capabilities&) { w.interleaving = sw::interleaving::PLANE; },
                "color interleaving", "asked for 0x04 of the 0x42 this unit offers"},
        Refusal{"depth", [](Window& w, caps::Capabilities&) { w.bits = 2; }, "pixel composition",
                "2 bits is not a depth 2-2-2-4 defines"},
        Refusal{"depth_offered", [](Window& w, caps::Capabilities&) { w.bits = 14; }, "pixel composition",
                "this unit does not offer 14 bits"},
        Refusal{"composition", [](Window& w, caps::Capabilities&) { w.composition = Composition(7); }, "image composition",
                "2-10-6 supports neither Unknown(7) nor anything else it lists past the two multi-level codes"},
        Refusal{"setup_kind", [](Window& w, caps::Capabilities& c) { w.setup_mode = 1; c.set_window.kinds = sw::kind::IMAGE; },
                "setup mode",
                "this unit does not offer setup scanning 2, which is what makes byte 41 bits 3-1 mean anything"},
        Refusal{"setup_max", [](Window& w, caps::Capabilities&) { w.setup_mode = 4; }, "setup mode",
                "4 is past the 3 this unit offers"},
        Refusal{"nibble", [](Window& w, caps::Capabilities&) { w.multiple_reading = 16; }, "multiple reading",
                "16 does not fit the nibble byte 40 gives it"},
        Refusal{"mode_lacks_multi", [](Window& w, caps::Capabilities&) { w.multiple_reading = 1; }, "multiple reading",
                "2 readings needs ScanMode(MULTI_READING) in the scanning mode, which is ScanMode(HIGH_QUALITY)"},
        Refusal{"unit_reads_once", [](Window& w, caps::Capabilities& c) {
                    w.multiple_reading = 1;
                    c.set_window.modes = sw::mode::HIGH_QUALITY;
                }, "multiple reading", "this unit reads each line once"},
        Refusal{"ordering", [](Window& w, caps::Capabilities&) { w.color_ordering = 4; }, "color ordering",
                "4 is not a read position"},
        Refusal{"exposure", [](Window& w, caps::Capabilities&) { w.exposure = 1001; }, "exposure",
                "1001 is outside the 100 to 1000 ten-nanosecond units this unit offers"},
        Refusal{"padding_first", [](Window& w, caps::Capabilities&) { w.padding = 1; w.bit_ordering = 1; }, "padding type",
                "2-10 defines this as 0, not 1"},
        Refusal{"compression", [](Window& w, caps::Capabilities&) { w.compression = 2; }, "compression type",
                "2-10 defines this as 0, not 2"},
        Refusal{"compression_argument", [](Window& w, caps::Capabilities&) { w.compression_argument = 3; },
                "compression argument", "2-10 defines this as 0, not 3"},
        Refusal{"bit_ordering", [](Window& w, caps::Capabilities&) { w.bit_ordering = 0x100; }, "bit ordering",
                "2-10 defines this as 0, not 256"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WindowValidate, BoundariesThatPass) {
    auto c = unit();
    Window w = good();
    w.ulx = 100;  // origin_max itself
    w.width = 4900;
    w.exposure = 0;
    EXPECT_TRUE(w.validate(c).has_value());
    w.exposure = 100;
    EXPECT_TRUE(w.validate(c).has_value());
    w.exposure = 1000;
    w.multiple_reading = 1;
    w.mode = sw::mode::HIGH_QUALITY | sw::mode::MULTI_READING;
    EXPECT_TRUE(w.validate(c).has_value());
    // An axis whose origin_max is 0 never demands an exact width.
    c.address.x.origin_min = c.address.x.origin_max = 0;
    w.ulx = 0;
    w.width = 10;
    EXPECT_TRUE(w.validate(c).has_value());
    // A thumbnail is held against the thumbnail range only.
    w.kind = sw::kind::THUMBNAIL;
    w.x_dpi = 500;
    EXPECT_TRUE(w.validate(c).has_value());
}

TEST(WindowValidate, EventsReportWithoutFailing) {
    diag::Capture capture;
    auto c = unit();
    c.address.line_gap = 7;
    c.address.sensor_pixels = 10000;
    Window w = good();
    w.width = 4500;  // past the 4000 opening, and not a multiple of 7
    w.interleaving = sw::interleaving::MULTILINE_SIMULTANEOUS;
    ASSERT_TRUE(w.validate(c).has_value());

    auto debug = capture.find(diag::Level::Debug, "window reaches past the adapter's opening", "vexlor::protocol::window");
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(*debug[0].value("name"), "X");
    EXPECT_EQ(*debug[0].value("size"), "4500");
    EXPECT_EQ(*debug[0].value("opening"), "4000");
    auto warn = capture.find(diag::Level::Warn, "width is not a whole number of line-gap blocks", "vexlor::protocol::window");
    ASSERT_EQ(warn.size(), 1u);
    EXPECT_EQ(*warn[0].value("width"), "4500");
    EXPECT_EQ(*warn[0].value("block"), "7");

    // With a fixed origin the same width must match the opening exactly.
    c.address.x.origin_min = c.address.x.origin_max = 10;
    expect_refused(w.validate(c), "window size", "X cannot be cropped, so it has to be exactly 4000");
}

namespace {

std::vector<Window> rgbi() {
    std::vector<Window> set;
    for (std::uint8_t id : {1, 2, 3, 9}) {
        Window w = good();
        w.id = id;
        set.push_back(w);
    }
    return set;
}

}  // namespace

TEST(WindowSet, AcceptsSetsThatAgree) {
    auto set = rgbi();
    set[1].y_dpi = 2000;
    set[2].exposure = 500;
    set[3].setup_mode = 1;
    EXPECT_TRUE(window::validate_set(set).has_value());
    for (std::size_t i = 0; i < 3; ++i) set[i].color_ordering = static_cast<std::uint8_t>(3 - i);
    set[3].color_ordering = 4;
    EXPECT_TRUE(window::validate_set(set).has_value());

    Window gray = good();
    gray.id = 0;
    gray.composition = Composition::of(Composition::Kind::MultilevelBW);
    EXPECT_TRUE(window::validate_set(std::span(&gray, 1)).has_value());
}

TEST(WindowSet, Refusals) {
    struct Case {
        const char* name;
        std::function<void(std::vector<Window>&)> change;
        const char* label;
        const char* reason;
    };
    const Case cases[] = {
        {"empty", [](auto& s) { s.clear(); }, "window set", "a scan needs at least one window"},
        {"default_with_others", [](auto& s) { s[3].id = 0; }, "window set", "the default color cannot be scanned alongside another"},
        {"differs", [](auto& s) { s[2].byte41 = 1; }, "window set", "window 3 differs from window 1 in a parameter common to the set"},
        {"differs_width", [](auto& s) { s[1].width = 1; }, "window set", "window 2 differs from window 1 in a parameter common to the set"},
        {"order_left_open", [](auto& s) { s[0].color_ordering = 1; s[2].color_ordering = 2; s[3].color_ordering = 3; }, "color ordering",
         "window 2 leaves the order to the unit while the rest of the set pins it"},
        {"order_twice", [](auto& s) {
             s[0].color_ordering = 2; s[1].color_ordering = 1; s[2].color_ordering = 2; s[3].color_ordering = 3;
         }, "color ordering", "read position 2 is claimed twice"},
        {"no_planes", [](auto& s) { for (auto& w : s) w.composition = Composition(3); }, "image composition",
         "BilevelRGB puts no known number of planes in the stream"},
        {"too_few_colors", [](auto& s) { s.erase(s.begin() + 2, s.end()); }, "image composition",
         "MultilevelRGB carries 3 plane(s) and this set scans 2 color channel(s)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto set = rgbi();
        c.change(set);
        expect_refused(window::validate_set(set), c.label, c.reason);
    }
}
