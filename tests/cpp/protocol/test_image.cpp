#include <gtest/gtest.h>
#include "cpp/refusal.hpp"

#include <vector>

#include "protocol/image.hpp"

using namespace vexlor;
using namespace vexlor::protocol;
using image::Layout;
using window::Composition;
using window::Window;
namespace sw = protocol::caps::set_window;

namespace {

caps::Capabilities unit(std::uint8_t pitch_rule = 0, std::uint8_t line_gap = 0, std::uint8_t read_units = 0x02) {
    caps::Capabilities c;
    c.address.x.optical_dpi = 4000;
    c.address.y.optical_dpi = 4000;
    c.address.pitch_rule = pitch_rule;
    c.address.line_gap = line_gap;
    c.address.read_units = read_units;
    c.address.ccd_lines = 3;
    return c;
}

// Windows of one pass: every field the set shares comes from `base`.
std::vector<Window> set_of(std::vector<std::uint8_t> ids, Window base = {}) {
    if (base.x_dpi == 0 && base.bits == 0) {
        base.x_dpi = 4000;
        base.width = 1000;
        base.length = 100;
        base.bits = 16;
        base.kind = sw::kind::IMAGE;
        base.interleaving = sw::interleaving::LINE_WITHOUT_DISTANCE;
    }
    std::size_t colors = 0;
    for (auto id : ids) colors += id != 9;
    base.composition = Composition::of(colors == 1 ? Composition::Kind::MultilevelBW : Composition::Kind::MultilevelRGB);
    std::vector<Window> out;
    for (auto id : ids) {
        Window w = base;
        w.id = id;
        out.push_back(w);
    }
    return out;
}

Window sized(std::uint16_t x_dpi, std::uint32_t width = 1000, std::uint8_t bits = 16) {
    Window w;
    w.x_dpi = x_dpi;
    w.width = width;
    w.length = width;
    w.bits = bits;
    w.kind = sw::kind::IMAGE;
    w.interleaving = sw::interleaving::LINE_WITHOUT_DISTANCE;
    return w;
}

Layout build(const caps::Capabilities& c, const std::vector<Window>& set, std::uint16_t units = 0,
             std::optional<data::Truncation> t = std::nullopt) {
    auto l = Layout::make(c, set, units, t);
    EXPECT_TRUE(l.has_value()) << (l ? "" : error::debug_string(l.error()));
    return l ? *l : Layout{};
}

using vexlor::test_support::expect_refused;

}  // namespace

TEST(ImageLayout, PitchRules) {
    struct Case {
        std::uint8_t rule;
        std::uint8_t line_gap;
        std::uint16_t x_dpi;
        bool thumbnail;
        std::uint32_t pitch;
    };
    const Case cases[] = {
        {2, 6, 1000, false, 3}, {3, 6, 1000, false, 4}, {3, 6, 1333, false, 2}, {3, 6, 4000, false, 1},
        {2, 7, 800, false, 1},  {2, 0, 800, false, 5},  {0, 6, 1000, false, 4}, {1, 6, 1000, false, 4},
        {2, 6, 4000, false, 1}, {0, 6, 800, true, 5},   {1, 6, 800, true, 5},   {2, 6, 800, true, 5},
        {3, 6, 800, true, 5},   {0, 0, 3000, false, 1},
        // Two bits on the page; a record holding more keeps to even steps, as the window recipe reads it.
        {4, 6, 1000, false, 4}, {7, 6, 1333, false, 2},
    };
    for (const auto& c : cases) {
        Window w = sized(c.x_dpi);
        if (c.thumbnail) w.kind = sw::kind::THUMBNAIL;
        const auto l = build(unit(c.rule, c.line_gap), set_of({1}, w));
        EXPECT_EQ(l.x_pitch, c.pitch) << int{c.rule} << " " << int{c.line_gap} << " " << c.x_dpi;
        EXPECT_EQ(l.y_pitch, c.pitch);  // y_dpi 0 takes x_dpi
        EXPECT_EQ(l.dpi, 4000 / c.pitch);
    }
    EXPECT_EQ(build(unit(2, 6), set_of({1}, sized(1000))).dpi, 1333u);
    EXPECT_EQ(build(unit(2, 6), set_of({1}, sized(1000))).line_gap, 2u);  // 6 / y_pitch 3

    auto high_y = unit();
    high_y.address.y.optical_dpi = 8000;
    Window w = sized(1000);
    EXPECT_EQ(build(high_y, set_of({1}, w)).y_pitch, 8u);
    w.y_dpi = 2000;
    EXPECT_EQ(build(high_y, set_of({1}, w)).y_pitch, 4u);
    EXPECT_EQ(build(high_y, set_of({1}, w)).x_pitch, 4u);
}

TEST(ImageLayout, ExtentInEitherUnit) {
    // x_pitch 3 on a 4000 dpi unit with pitch rule 2 and line gap 6.
    const auto c = unit(2, 6);
    EXPECT_EQ(build(c, set_of({1}, sized(1000, 1200)), 1200).pixels, 1333u);
    EXPECT_EQ(build(c, set_of({1}, sized(1000, 1200)), 1200).lines, 1333u);
    EXPECT_EQ(build(c, set_of({1}, sized(1000, 4000)), 0).pixels, 1333u);
    // Lines use the X optical resolution even when Y is finer.
    auto high_y = c;
    high_y.address.y.optical_dpi = 8000;
    Window w = sized(1000, 1200);
    w.y_dpi = 2000;  // Y step 4, not divided by 6 -> 3
    auto l = build(high_y, set_of({1}, w), 1200);
    EXPECT_EQ(l.y_pitch, 3u);
    EXPECT_EQ(l.lines, 1333u);
    // 64-bit intermediates: a width whose product overflows 32 bits.
    EXPECT_EQ(build(unit(), set_of({1}, sized(4000, 3000000)), 1200).pixels, 10000000u);
}

TEST(ImageLayout, SampleWidth) {
    const std::pair<std::uint8_t, std::uint8_t> ok[] = {{1, 1}, {8, 1}, {12, 2}, {16, 2}, {32, 4}};
    for (const auto& [bits, bytes] : ok) EXPECT_EQ(build(unit(), set_of({1}, sized(4000, 1000, bits))).sample_bytes, bytes);
    const std::tuple<std::uint8_t, const char*> refused[] = {
        {24, "24 bits a sample needs 3 bytes, which 2-11-4 cannot encode"},
        {0, "0 bits a sample needs 0 bytes, which 2-11-4 cannot encode"},
        {40, "40 bits a sample needs 5 bytes, which 2-11-4 cannot encode"},
    };
    for (const auto& [bits, reason] : refused) {
        expect_refused(Layout::make(unit(), set_of({1}, sized(4000, 1000, bits)), 0, std::nullopt), "image layout", reason);
    }
    expect_refused(Layout::make(unit(), set_of({1}, sized(0)), 0, std::nullopt), "image layout",
                   "cannot pitch 0 dpi against an optical resolution of 4000");
    auto blind = unit();
    blind.address.x.optical_dpi = 0;
    expect_refused(Layout::make(blind, set_of({1}, sized(1000)), 0, std::nullopt), "image layout",
                   "cannot pitch 1000 dpi against an optical resolution of 0");
    // A set that fails its own checks is refused unchanged.
    expect_refused(Layout::make(unit(), set_of({1, 2}), 0, std::nullopt), "image composition",
                   "MultilevelRGB carries 3 plane(s) and this set scans 2 color channel(s)");
}

TEST(ImageLayout, CarriedFieldsAndColors) {
    Window w = sized(4000);
    w.multiple_reading = 3;
    w.mode = sw::mode::MULTI_READING;
    w.bits = 14;
    const auto l = build(unit(0, 8), set_of({9, 1, 2, 3}, w));
    using K = window::Channel::Kind;
    const auto ch = [](K k) { return window::Channel::of(k); };
    EXPECT_EQ(l.channels, (std::vector{ch(K::Infrared), ch(K::Red), ch(K::Green), ch(K::Blue)}));
    EXPECT_EQ(l.colors(), (std::vector{ch(K::Red), ch(K::Green), ch(K::Blue)}));
    EXPECT_EQ(l.readings, 4);
    EXPECT_EQ(l.bits, 14);
    EXPECT_EQ(l.interleaving, sw::interleaving::LINE_WITHOUT_DISTANCE);
    EXPECT_EQ(l.ccd_lines, 3);
    EXPECT_EQ(l.line_gap, 8u);
    EXPECT_FALSE(l.read_off);
    EXPECT_EQ(l.group, 1);
}

TEST(ImageLayout, GroupFollowsMultiLineCooperation) {
    Window w = sized(4000);
    w.interleaving = sw::interleaving::MULTILINE_SIMULTANEOUS;
    auto c = unit();
    EXPECT_EQ(build(c, set_of({1, 2, 3}, w)).group, 3);
    c.features.cooperation = caps::other::cooperation::MULTI_LINE;
    EXPECT_EQ(build(c, set_of({1, 2, 3}, w)).group, 1);
    c.features.cooperation = {};
    c.address.ccd_lines = 0;
    EXPECT_EQ(build(c, set_of({1, 2, 3}, w)).group, 1);
}

TEST(ImageLayout, ReadUnits) {
    // 1000 pixels of 2 bytes: v = 2000.
    struct Case {
        const char* name;
        std::uint8_t read_units;
        std::vector<std::uint8_t> ids;
        std::uint8_t extra_readings;
        std::optional<data::Truncation> truncation;
        std::uint64_t first_unit, unit, cycle;
    };
    data::Truncation per_color;
    per_color.per_color = {4, 4};
    data::Truncation all = per_color;
    all.all_colors = {1, 2};
    data::Truncation ir = all;
    ir.position = data::position::INFRARED_LAST;
    ir.infrared_reading = {10, 20};
    const Case cases[] = {
        {"groups, one reading", 0x02, {1, 2, 3, 9}, 0, std::nullopt, 8000, 8000, 8000},
        {"groups, two readings", 0x02, {1, 2, 3, 9}, 1, std::nullopt, 8000, 6000, 14000},
        {"groups, two readings, no infrared", 0x02, {1, 2, 3}, 1, std::nullopt, 6000, 6000, 6000},
        {"groups, edges", 0x02, {1, 2, 3, 9}, 1, ir, 8000 + 38, 6000 + 11, 8038 + 6011},
        {"channel lines", 0x04, {1, 2, 3, 9}, 1, per_color, 2008, 2008, 2008},
        {"channel lines, no truncation", 0x04, {1, 2, 3}, 0, std::nullopt, 2000, 2000, 2000},
        {"channel lines, all-colour edges", 0x04, {1, 2, 3, 9}, 0, all, 8011, 8011, 8011},
        {"channel lines, all-colour edges, readings", 0x04, {1, 2, 3, 9}, 2, ir, 8038 + 2 * 6011, 8038 + 2 * 6011, 8038 + 2 * 6011},
        {"neither", 0x00, {1, 2, 3, 9}, 1, all, 1, 1, 1},
        {"both bits: groups win", 0x06, {1, 2, 3, 9}, 0, std::nullopt, 8000, 8000, 8000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Window w = sized(4000);
        w.multiple_reading = c.extra_readings;
        const auto l = build(unit(0, 0, c.read_units), set_of(c.ids, w), 0, c.truncation);
        EXPECT_EQ(l.first_unit, c.first_unit);
        EXPECT_EQ(l.unit, c.unit);
        EXPECT_EQ(l.cycle, c.cycle);
    }

    // With a line group of 3 the group values triple.
    Window w = sized(4000);
    w.interleaving = sw::interleaving::MULTILINE_SIMULTANEOUS;
    const auto l = build(unit(0, 0, 0x02), set_of({1, 2, 3, 9}, w));
    EXPECT_EQ(l.cycle, 24000u);
    // An empty line still sizes READs in units of at least 1.
    const auto empty = build(unit(0, 0, 0x04), set_of({1, 2, 3}, sized(4000, 0)));
    EXPECT_EQ(empty.first_unit, 1u);
}

TEST(ImageLayout, EdgesAndTotalBytes) {
    data::Truncation t;
    t.position = data::position::INFRARED_FIRST;
    t.per_color = {1, 2};
    t.all_colors = {3, 4};
    t.infrared_reading = {2, 2};
    t.lines = {3, 5};
    const auto single = build(unit(0, 0, 0x02), set_of({1, 2, 3, 9}, sized(4000, 100)), 0, t);
    EXPECT_EQ(single.color_edges, (std::pair<std::uint32_t, std::uint32_t>{4, 6}));
    EXPECT_EQ(single.ir_edges, (std::pair<std::uint32_t, std::uint32_t>{3, 4}));
    EXPECT_EQ(single.head_lines, 3u);
    EXPECT_EQ(single.tail_lines, 5u);
    // One reading: colour edges even with an infrared window.
    EXPECT_EQ(single.cycle, 800u + 10);
    EXPECT_EQ(single.total_bytes(), (800u + 10) * (100 + 8));

    Window two = sized(4000, 100);
    two.multiple_reading = 1;
    const auto twice = build(unit(0, 0, 0x02), set_of({1, 2, 3, 9}, two), 0, t);
    EXPECT_EQ(twice.total_bytes(), std::uint64_t{(800 + 7) + (600 + 10)} * 108);

    t.position = {};
    const auto no_ir_flag = build(unit(), set_of({1, 2, 3, 9}, sized(4000, 100)), 0, t);
    EXPECT_EQ(no_ir_flag.ir_edges, no_ir_flag.color_edges);
    const auto plain = build(unit(), set_of({1, 2, 3}, sized(4000, 100)));
    EXPECT_EQ(plain.total_bytes(), 600u * 100);
}

TEST(ImageLayout, BlocksAtThePassPitch) {
    // Three rows 12 lines apart, even steps: at 400 dpi the pitch is 10 and the rows 1 line apart,
    // so a block is 3 lines, 30 feed addresses; at full resolution 36.
    auto c = unit(3, 12);
    const auto all = sw::interleaving::MULTILINE_SIMULTANEOUS;
    EXPECT_EQ(image::block_feed(c.address, 400, all), 30u);
    EXPECT_EQ(image::block_feed(c.address, 4000, all), 36u);
    EXPECT_EQ(image::block_feed(c.address, 400, sw::interleaving::LINE_WITHOUT_DISTANCE), 1u);
    EXPECT_EQ(image::block_feed(c.address, 250, all), 0u);  // pitch 16: every row on one line
    // The layout's block is the one block_feed counts, and whole blocks of it decode.
    Window w = sized(400, 1000);
    w.interleaving = all;
    w.length = image::whole_blocks(8900, 30, 40000);
    const auto l = build(c, set_of({1, 2, 3}, w));
    EXPECT_EQ(l.block(), (image::Block{3, 1}));
    EXPECT_EQ(l.lines, 891u);
    EXPECT_EQ(std::uint64_t{l.block().lines()} * l.y_pitch, 30u);
}

TEST(ImageLayout, WholeBlocks) {
    struct Case {
        std::uint32_t length, step, room, whole;
    };
    const Case cases[] = {
        {1000, 24, 36000, 1008}, {1008, 24, 36000, 1008}, {1000, 24, 1005, 984},  // room for less: one block off
        {10, 24, 36000, 24},     {10, 24, 20, 0},         {24, 24, 23, 0},       // not one block fits
        {1000, 1, 10, 1000},     {1000, 0, 10, 1000},     {0, 24, 100, 0},
        {4294967290u, 24, 4294967295u, 4294967280u},  // rounding up would pass 32 bits
    };
    for (const auto& c : cases) EXPECT_EQ(image::whole_blocks(c.length, c.step, c.room), c.whole) << c.length << " " << c.step;
}
