// Window recipes: the checks against the unit, the window set of a rectangle, the thumbnail set.
#include <gtest/gtest.h>

#include "cpp/refusal.hpp"
#include "diag/log.hpp"
#include "protocol/decode.hpp"
#include "protocol/image.hpp"
#include "scan/thumbnail.hpp"
#include "scan/window.hpp"

namespace vexlor::scan::window {
namespace {

using test_support::expect_refused;
namespace sw = protocol::caps::set_window;
using protocol::window::Window;

// A unit with 3 CCD rows 8 lines apart, separate colour windows and every mode.
protocol::caps::Capabilities unit() {
    protocol::caps::Capabilities c;
    c.identity.product = "LS-5000 ED";
    auto& a = c.address;
    a.x = {0, 1000, 150, 4000, 3950, 4000};
    a.y = {0, 36000, 150, 4000, 36000, 4000};
    a.pitch_rule = 1;
    a.line_gap = 8;
    a.ccd_lines = 3;
    a.thumbnail_dpi_min = 400;
    auto& s = c.set_window;
    s.kinds = sw::ScanKind::all();
    s.modes = sw::mode::NORMAL_QUALITY | sw::mode::HIGH_SPEED | sw::mode::MULTI_READING;
    s.interleavings = sw::interleaving::LINE_WITHOUT_DISTANCE | sw::interleaving::MULTILINE_SIMULTANEOUS;
    s.colors = 0x04;
    s.depths = 0x22;
    return c;
}

constexpr std::uint8_t ROWS = 0x02;
constexpr std::uint8_t ALL = 0x40;

TEST(Recipe, RefusesWhatTheUnitCannotDo) {
    struct Case {
        Recipe recipe;
        std::function<void(protocol::caps::Capabilities&)> unit;
        const char* op;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {{149, 1, ROWS, false}, {}, "scan resolution", "149 dpi is outside the 150 to 4000 this unit scans"},
        {{4001, 1, ROWS, false}, {}, "scan resolution", "4001 dpi is outside the 150 to 4000 this unit scans"},
        {{300, 0, ROWS, false}, {}, "readings a line", "0 readings of a line is outside 1 to 16"},
        {{300, 17, ROWS, false}, {}, "readings a line", "17 readings of a line is outside 1 to 16"},
        {{300, 2, ROWS, false}, [](auto& c) { c.set_window.modes = sw::mode::NORMAL_QUALITY; }, "multisampling", ""},
        {{300, 1, 0x42, false}, {}, "color interleaving",
         "this unit does not read the CCD that way, only ColorInterleaving(LINE_WITHOUT_DISTANCE | MULTILINE_SIMULTANEOUS)"},
        {{300, 1, 0, false}, {}, "color interleaving",
         "this unit does not read the CCD that way, only ColorInterleaving(LINE_WITHOUT_DISTANCE | MULTILINE_SIMULTANEOUS)"},
        {{300, 1, ROWS, false}, [](auto& c) { c.set_window.interleavings = sw::interleaving::MULTILINE_SIMULTANEOUS; },
         "color interleaving", "this unit does not read the CCD one row at a time, only ColorInterleaving(MULTILINE_SIMULTANEOUS)"},
        // 4000 / 300 = 13 optical lines an output line, more than the 8 between the rows.
        {{300, 1, ALL, false}, {}, "color interleaving",
         "at 300 dpi all the CCD rows of this unit give one output line, so the pass must read one row at a time"},
        // The one default window cannot share a pass with infrared.
        {{300, 1, ROWS, true}, [](auto& c) { c.set_window.colors = 0x01; }, "infrared",
         "this unit scans its colors in one default window, which cannot be scanned alongside infrared"},
    };
    for (const auto& c : cases) {
        auto caps = unit();
        if (c.unit) c.unit(caps);
        const auto r = c.recipe.windows(caps, {0, 0, 1000, 1000});
        expect_refused(r, c.op, c.reason);
    }
    for (const std::uint16_t dpi : {150, 4000}) EXPECT_TRUE((Recipe{dpi, 16, ROWS, false}.supported(unit())));
}

TEST(Recipe, WindowsOfARectangle) {
    const auto caps = unit();
    auto r = Recipe{4000, 4, ALL, true}.windows(caps, {100, 50, 1100, 850});
    ASSERT_TRUE(r) << error::debug_string(r.error());
    ASSERT_EQ(r->size(), 4u);
    const std::vector<std::uint8_t> ids{9, 1, 2, 3};
    for (std::size_t i = 0; i < 4; ++i) {
        const Window& w = (*r)[i];
        EXPECT_EQ(w.id, ids[i]);
        EXPECT_EQ(w.composition.code(), 5);
        EXPECT_EQ(w.bits, 16);
        EXPECT_EQ(w.ulx, 50u);
        EXPECT_EQ(w.uly, 100u);
        EXPECT_EQ(w.width, 800u);
        EXPECT_EQ(w.length, 1008u);  // 1000 rounded up to blocks of 24
        EXPECT_EQ(w.multiple_reading, 3);
        EXPECT_EQ(w.mode, sw::mode::NORMAL_QUALITY | sw::mode::MULTI_READING);  // full resolution: no high speed
        EXPECT_EQ(w.byte41, 0x81);
        EXPECT_EQ(w.kind, sw::kind::IMAGE);
        EXPECT_EQ(w.byte45, 0xFF);
        EXPECT_EQ(w.exposure, 0u);
    }
    EXPECT_TRUE(protocol::window::validate_set(*r));

    // Room for 1005 only: one block comes off.
    auto tight = unit();
    tight.address.y.origin_max = 1105;
    r = Recipe{4000, 1, ALL, false}.windows(tight, {100, 0, 1100, 800});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->front().length, 984u);

    // Reduced readout at a lower resolution with all rows at once.
    auto wide = unit();
    wide.address.line_gap = 20;
    r = Recipe{1000, 1, ALL, false}.windows(wide, {0, 0, 1000, 800});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->front().byte41, 0x01);
    EXPECT_EQ(r->front().mode, sw::mode::HIGH_SPEED);

    // A unit without separate colours scans one default window.
    auto mono = unit();
    mono.set_window.colors = 0x01;
    r = Recipe{1000, 1, ROWS, false}.windows(mono, {0, 0, 1000, 800});
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(r->front().id, 0);
    EXPECT_EQ(r->front().composition.code(), 2);
}

TEST(Recipe, MultiLinePassesAreWholeDecoderBlocksAtTheirOwnPitch) {
    struct Case {
        const char* name;
        std::uint8_t rule, gap, rows;
        std::uint16_t dpi;
        protocol::data::Rect rect;
        std::uint32_t length;  // of the windows
        std::uint32_t lines;   // of the pass
    };
    const Case cases[] = {
        {"rows 4 lines apart at pitch 3: blocks of 3 lines, 9 addresses", 1, 4, 3, 1300, {0, 0, 1010, 800}, 1017, 339},
        {"rows 12 apart at pitch 10: blocks of 3 lines", 3, 12, 3, 400, {1200, 100, 10100, 3000}, 8910, 891},
        {"four rows 16 apart at pitch 6: blocks of 8 lines", 3, 16, 4, 666, {1000, 100, 12200, 3000}, 11232, 1872},
        {"a pitch that divides the gap keeps whole CCD line blocks", 1, 8, 3, 2000, {0, 0, 1000, 800}, 1008, 504},
        {"no room to round up: one block shorter", 3, 12, 3, 400, {27010, 100, 36000, 3000}, 8970, 897},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto caps = unit();
        caps.address.pitch_rule = c.rule;
        caps.address.line_gap = c.gap;
        caps.address.ccd_lines = c.rows;
        const auto windows = Recipe{c.dpi, 1, ALL, true}.windows(caps, c.rect);
        ASSERT_TRUE(windows) << error::debug_string(windows.error());
        EXPECT_EQ(windows->front().length, c.length);
        const auto layout = protocol::image::Layout::make(caps, *windows, 4000, std::nullopt);
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->lines, c.lines);
        EXPECT_TRUE(protocol::decode::Decoder::make(*layout));
        // What the recipe rounds to is the pitch the layout counts lines at.
        EXPECT_EQ(feed_step(caps, c.dpi), layout->y_pitch);
    }
    // Only a frame with no room for one block is refused, naming the shortest that scans.
    auto caps = unit();
    caps.address.pitch_rule = 3;
    caps.address.line_gap = 12;
    const Recipe recipe{400, 1, ALL, false};
    expect_refused(recipe.windows(caps, {35990, 0, 36000, 800}), "frame table",
                   "the frame (35990, 0, 36000, 800) is too short for one block of CCD rows at 400 dpi: the shortest "
                   "frame that scans there is 30 long");
    expect_refused(check_frame(caps, 4000, {35990, 0, 36000, 800}, &recipe), "frame table",
                   "the frame (35990, 0, 36000, 800) is too short for one block of CCD rows at 400 dpi: the shortest "
                   "frame that scans there is 30 long");
    // Shorter than a block with room to grow: it scans one block.
    const auto grown = recipe.windows(caps, {35960, 0, 35970, 800});
    ASSERT_TRUE(grown);
    EXPECT_EQ(grown->front().length, 30u);
}

TEST(Recipe, FrameLengths) {
    struct Case {
        protocol::data::Rect rect;
        const char* reason;
    };
    for (const Case& c : {Case{{500, 0, 500, 800}, "a frame of length 0 is not a frame"},
                          Case{{500, 0, 400, 800}, "a frame of length 0 is not a frame"},
                          Case{{0, 0, 36001, 800}, "a frame of 36001 is past the 36000 boundary and would stall the stage"}}) {
        expect_refused(Recipe{1000, 1, ROWS, false}.windows(unit(), c.rect), "frame table", c.reason);
    }
    auto deaf = unit();
    deaf.set_window.depths = 0;
    expect_refused(Recipe{1000, 1, ROWS, false}.windows(deaf, {0, 0, 100, 100}), "scan window",
                   "this unit advertises no pixel depth");
}

TEST(Recipe, BlankWindowDepths) {
    const std::vector<protocol::window::Channel> one{protocol::window::Channel(1)};
    for (const auto& [mask, bits] : std::vector<std::pair<std::uint8_t, std::uint8_t>>{{0x06, 10}, {0x22, 16}, {0x01, 1}}) {
        auto w = blank(mask, one);
        ASSERT_TRUE(w);
        EXPECT_EQ(w->front().bits, bits);
    }
}

TEST(Recipe, ReachableBlocks) {
    auto caps = unit();
    caps.address.y.max_extent = 5000;
    diag::Capture cap;
    EXPECT_EQ(reachable_blocks(caps, 1000), 1008u);
    EXPECT_EQ(reachable_blocks(caps, 4990), 4992u);
    EXPECT_TRUE(cap.events().empty());
    EXPECT_EQ(reachable_blocks(caps, 4999), 4992u);
    const auto e = cap.find(diag::Level::Debug, "the format is longer than the axis reaches, so the frame is trimmed");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(*e[0].value("wanted"), "5016");
    EXPECT_EQ(*e[0].value("limit"), "5000");
    EXPECT_EQ(*e[0].value("kept"), "4992");
    caps.address.line_gap = 0;
    EXPECT_EQ(reachable_blocks(caps, 6000), 5000u);
}

TEST(Thumbnail, Windows) {
    struct Case {
        const char* product;
        std::uint8_t byte41;
    };
    for (const Case c : {Case{"LS-9000 ED", 0x00}, Case{"LS-50 ED", 0x81}}) {
        auto caps = unit();
        caps.identity.product = c.product;
        auto w = thumbnail::windows(caps);
        ASSERT_TRUE(w) << error::debug_string(w.error());
        ASSERT_EQ(w->size(), 3u);
        EXPECT_EQ(w->front().byte41, c.byte41);
        EXPECT_EQ(w->front().x_dpi, 400);
        EXPECT_EQ(w->front().length, 36000u);
        EXPECT_EQ(w->front().kind, sw::kind::THUMBNAIL);
        EXPECT_EQ(w->front().interleaving, sw::interleaving::LINE_WITHOUT_DISTANCE);
    }
    auto rows_only = unit();
    rows_only.set_window.interleavings = sw::interleaving::MULTILINE_SIMULTANEOUS;
    expect_refused(thumbnail::windows(rows_only), "thumbnail window",
                   "a thumbnail needs line ordering and this unit offers ColorInterleaving(MULTILINE_SIMULTANEOUS)");
    auto unknown = unit();
    unknown.identity.product = "FLATBED";
    expect_refused(thumbnail::windows(unknown), "thumbnail window", "unrecognized model");
}

TEST(Recipe, FramesThatCannotBeWorkedOnAreRefusedUpFront) {
    const auto caps = unit();
    const Recipe fine{150, 1, ROWS, false};
    struct Case {
        const char* name;
        protocol::data::Rect rect;
        const Recipe* recipe;
        const char* reason;  // null: accepted
    };
    const Case cases[] = {
        {"inside", {1000, 100, 5000, 3000}, &fine, nullptr},
        {"starting past the origin range: clamped as ever", {1000, 2000, 5000, 3000}, &fine, nullptr},
        {"wholly across beyond the reach", {1000, 5000, 5000, 5100}, &fine,
         "the frame (1000, 5000, 5000, 5100) lies outside what this unit reaches: 0 to 72000 along the film and 0 to "
         "4950 across it"},
        {"wholly along beyond the reach", {80000, 100, 81000, 200}, nullptr,
         "the frame (80000, 100, 81000, 200) lies outside what this unit reaches: 0 to 72000 along the film and 0 to "
         "4950 across it"},
        {"thinner than a pixel", {1000, 100, 1001, 101}, &fine,
         "the frame (1000, 100, 1001, 101) is less than one pixel at 150 dpi: it would scan 0 pixels across and 0 lines "
         "along"},
        {"thin, to focus on", {1000, 100, 1001, 101}, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto checked = check_frame(caps, 4000, c.rect, c.recipe);
        if (!c.reason) {
            EXPECT_TRUE(checked) << error::debug_string(checked.error());
        } else {
            expect_refused(checked, "frame table", c.reason);
        }
    }
}

}  // namespace
}  // namespace vexlor::scan::window
