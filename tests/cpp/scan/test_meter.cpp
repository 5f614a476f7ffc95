// Metering arithmetic, exposures per channel and film types.
#include <gtest/gtest.h>

#include <numeric>

#include "cpp/refusal.hpp"
#include "protocol/decode.hpp"
#include "protocol/image.hpp"
#include "scan/autoexpose.hpp"
#include "scan/meter.hpp"
#include "scan/profile.hpp"
#include "session/session.hpp"

namespace vexlor::scan {
namespace {

using protocol::window::Channel;
using protocol::window::Window;

TEST(Meter, Tail) {
    std::vector<std::uint16_t> ramp(1000);
    std::iota(ramp.begin(), ramp.end(), 0);
    EXPECT_EQ(meter::tail(ramp, 0.999f), 998);
    EXPECT_EQ(meter::tail(ramp, 0.0f), 0);
    EXPECT_EQ(meter::tail(ramp, 2.0f), 999);
    const std::vector<std::uint16_t> one{5};
    for (const float p : {0.0f, 0.5f, 1.0f}) EXPECT_EQ(meter::tail(one, p), 5);
    EXPECT_EQ(meter::tail({}, 0.5f), std::nullopt);
}

Window window(std::uint8_t id, std::uint32_t exposure) {
    Window w;
    w.id = id;
    w.exposure = exposure;
    return w;
}

// An image whose every colour plane is filled with one level each (and infrared, when given).
struct Planes {
    std::vector<std::vector<std::uint16_t>> colors;
    std::vector<std::uint16_t> ir;
    protocol::decode::Image image(std::uint8_t bits) const {
        protocol::decode::Image i;
        for (const auto& p : colors) i.planes.emplace_back(p);
        i.infrared = ir;
        i.bits = bits;
        return i;
    }
};

Planes filled(std::vector<std::uint16_t> levels, std::optional<std::uint16_t> ir = std::nullopt) {
    Planes p;
    for (auto l : levels) p.colors.emplace_back(100, l);
    if (ir) p.ir.assign(100, *ir);
    return p;
}

protocol::caps::Capabilities exposure_range(std::uint32_t lo, std::uint32_t hi) {
    protocol::caps::Capabilities c;
    c.set_window.exposure_min = lo;
    c.set_window.exposure_max = hi;
    return c;
}

TEST(Meter, Apply) {
    const auto caps = exposure_range(100, 100000);
    struct Case {
        const char* name;
        Planes planes;
        std::uint8_t bits;
        bool lock;
        std::vector<Window> windows;
        std::vector<std::uint32_t> times;
    };
    // 12 bits: full scale 4095, target level 3972.
    const std::vector<Case> cases = {
        {"own ratios", filled({3310, 318, 2648}), 12, false,
         {window(1, 1000), window(2, 1000), window(3, 1000)}, {1200, 12491, 1500}},
        {"level 0 keeps, full scale halves", filled({0, 4095, 1986}), 12, false,
         {window(1, 1000), window(2, 1000), window(3, 1000)}, {1000, 500, 2000}},
        // 16 bits, target level 63568: ratios 1.2, 0.98 and 1.94 locked to 0.98; infrared keeps its own.
        {"locked", filled({52973, 64865, 32784}, 31784), 16, true,
         {window(9, 1000), window(1, 1000), window(2, 1000), window(3, 1000)}, {2000, 980, 980, 980}},
        {"locked with no colour level", filled({0, 0}), 16, true, {window(1, 1000), window(2, 1000)}, {1000, 1000}},
        {"clamped into the unit's range", filled({10}), 16, false, {window(1, 50000)}, {100000}},
    };
    for (const auto& c : cases) {
        const meter::Metering m{0.97f, 0.999f, c.lock, 3};
        auto r = m.apply(caps, c.planes.image(c.bits), c.windows);
        ASSERT_TRUE(r) << c.name;
        EXPECT_EQ(*r, c.times) << c.name;
    }
    const meter::Metering m;
    test_support::expect_refused(m.apply(caps, filled({1, 1, 1}).image(16), std::vector<Window>(4)), "metering",
                                 "the pass carried 3 channels and there are 4 windows");
}

TEST(Meter, RoundsHalvesAwayFromZero) {
    // Level 2648 of 12 bits gives the ratio 3972 / 2648 = 1.5 exactly: 3 × 1.5 = 4.5 becomes 5.
    const auto caps = exposure_range(1, 10'000'000);
    auto r = meter::Metering{}.apply(caps, filled({2648}).image(12), std::vector<Window>{window(1, 3)});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->front(), 5u);
}

TEST(Exposures, ReadApplyAndOrder) {
    std::vector<Window> ws{window(9, 40), window(3, 30), window(1, 10), window(2, 20), window(3, 33)};
    const auto e = autoexpose::Exposures::read(ws);
    std::vector<std::pair<std::uint8_t, std::uint32_t>> order;
    for (const auto& [ch, t] : e.iter()) order.emplace_back(ch.byte(), t);
    EXPECT_EQ(order, (std::vector<std::pair<std::uint8_t, std::uint32_t>>{{1, 10}, {2, 20}, {3, 33}, {9, 40}}));

    autoexpose::Exposures red({{Channel(1), 77}});
    std::vector<Window> set{window(9, 1), window(1, 1), window(2, 1), window(3, 1)};
    red.apply(set);
    EXPECT_EQ(set[1].exposure, 77u);
    for (const std::size_t i : {0, 2, 3}) EXPECT_EQ(set[i].exposure, 1u);
}

TEST(Exposures, PrescanWindows) {
    protocol::caps::Capabilities c;
    c.address.x.min_dpi = 250;
    namespace sw = protocol::caps::set_window;
    c.set_window.modes = sw::mode::NORMAL_QUALITY | sw::mode::MULTI_READING;
    Window w = window(1, 5);
    w.x_dpi = w.y_dpi = 4000;
    w.multiple_reading = 3;
    w.byte41 = 0x81;
    w.mode = sw::mode::NORMAL_QUALITY | sw::mode::MULTI_READING;
    for (const auto& [product, x, y] : std::vector<std::tuple<const char*, int, int>>{{"LS-50 ED", 285, 285}, {"LS-9000 ED", 250, 125}}) {
        c.identity.product = product;
        const auto p = autoexpose::prescan_windows(c, std::vector<Window>{w})->front();
        EXPECT_EQ(p.x_dpi, x);
        EXPECT_EQ(p.y_dpi, y);
        EXPECT_EQ(p.multiple_reading, 0);
        EXPECT_EQ(p.byte41, 0x01);
        EXPECT_EQ(p.mode, sw::mode::NORMAL_QUALITY);
        EXPECT_EQ(p.exposure, 5u);
    }
    c.set_window.modes |= sw::mode::HIGH_SPEED;
    EXPECT_EQ(autoexpose::prescan_windows(c, std::vector<Window>{w})->front().mode, sw::mode::HIGH_SPEED);
}

TEST(Exposures, PrescanWindowsReadingAllRowsKeepWholeBlocksAtTheirPitch) {
    // Rows 16 lines apart: at the prescan's 285 dpi the pitch is 14 and a block 3 lines, 42
    // addresses, where the frame's own recipe rounded to blocks of 48.
    namespace sw = protocol::caps::set_window;
    protocol::caps::Capabilities c;
    c.identity.product = "LS-50 ED";
    c.address.x = {0, 1000, 100, 4000, 3950, 4000};
    c.address.y = {0, 36000, 100, 4000, 36000, 4000};
    c.address.line_gap = 16;
    c.address.ccd_lines = 3;
    c.set_window.modes = sw::mode::NORMAL_QUALITY;
    Window w = window(1, 5);
    w.x_dpi = w.y_dpi = 4000;
    w.width = 800;
    w.bits = 16;
    w.kind = sw::kind::IMAGE;
    w.interleaving = sw::interleaving::MULTILINE_SIMULTANEOUS;
    w.composition = protocol::window::Composition::of(protocol::window::Composition::Kind::MultilevelBW);
    struct Case {
        std::uint32_t uly, length, fitted;
    };
    for (const Case k : {Case{1000, 1008, 1008}, Case{1000, 1010, 1050}, Case{34990, 1010, 1008}}) {
        w.uly = k.uly;
        w.length = k.length;
        const auto p = autoexpose::prescan_windows(c, std::vector<Window>{w});
        ASSERT_TRUE(p);
        EXPECT_EQ(p->front().length, k.fitted);
        const auto layout = protocol::image::Layout::make(c, *p, 4000, std::nullopt);
        ASSERT_TRUE(layout) << error::debug_string(layout.error());
        EXPECT_TRUE(protocol::decode::Decoder::make(*layout)) << layout->lines;
    }
    w.uly = 35990;
    w.length = 10;
    test_support::expect_refused(autoexpose::prescan_windows(c, std::vector<Window>{w}), "frame table",
                                 "the frame (35990, 0, 36000, 800) is too short for one block of CCD rows at 285 dpi: the "
                                 "shortest frame that scans there is 42 long");
}

TEST(Film, Names) {
    using profile::Film;
    for (const auto& [text, film] : std::vector<std::pair<const char*, Film>>{
             {"SlIdE", Film::Positive}, {"positive", Film::Positive}, {"NEGATIVE", Film::Negative},
             {"Kodachrome", Film::Kodachrome}, {"MonochromeNegative", Film::Mono}, {"mono", Film::Mono}}) {
        EXPECT_EQ(profile::film_from_str(text), film) << text;
    }
    EXPECT_EQ(profile::film_from_str("Colour").error(), "unknown film type \"colour\"");
    EXPECT_FALSE(profile::locks_white_balance(Film::Negative));
    EXPECT_TRUE(profile::locks_white_balance(Film::Kodachrome));
}

TEST(Meter, TextForms) {
    EXPECT_EQ(meter::debug_string(meter::Metering{}),
              "Metering { target: 0.97, percentile: 0.999, lock_white_balance: false, max_passes: 3 }");
    EXPECT_EQ(autoexpose::debug_string({autoexpose::AutoExposure::Unit{protocol::caps::set_window::kind::AE}}),
              "Unit(ScanKind(AE))");
}

}  // namespace
}  // namespace vexlor::scan

namespace vexlor::session {
namespace {

TEST(Autoexpose, Mechanism) {
    namespace sw = protocol::caps::set_window;
    const auto time = sw::AnalogControl::from_bits_retain(0x02);
    struct Case {
        sw::ScanKind kinds;
        sw::AnalogControl analog;
        bool lock;
        const char* chosen;  // empty: refused
    };
    const std::vector<Case> cases = {
        {sw::kind::AE, time, true, "Host(Metering { target: 0.97, percentile: 0.999, lock_white_balance: true, max_passes: 3 })"},
        {sw::kind::AE | sw::kind::AE_WB, time, false, "Unit(ScanKind(AE))"},
        {sw::kind::AE | sw::kind::AE_WB, time, true, "Unit(ScanKind(AE_WB))"},
        {sw::kind::AE_WB, sw::AnalogControl::from_bits_retain(0x40), false,
         "Host(Metering { target: 0.97, percentile: 0.999, lock_white_balance: false, max_passes: 3 })"},
        {sw::kind::AE_WB, sw::AnalogControl::from_bits_retain(0x04), false, ""},
    };
    for (const auto& c : cases) {
        protocol::caps::Capabilities caps;
        caps.set_window.kinds = c.kinds;
        caps.set_window.analog = c.analog;
        const auto m = metering_mechanism(caps, c.lock);
        if (*c.chosen) {
            ASSERT_TRUE(m);
            EXPECT_EQ(vexlor::scan::autoexpose::debug_string(*m), c.chosen);
        } else {
            test_support::expect_refused(m, "exposure",
                                         "this unit runs no AE pass and offers no exposure control, only AnalogControl(ANALOG_GAIN)");
        }
    }
}

}  // namespace
}  // namespace vexlor::session
