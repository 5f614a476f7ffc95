// SET WINDOW and GET WINDOW around the descriptors, and the focus operations built on EXECUTE.
#include <cmath>

#include <gtest/gtest.h>

#include "cpp/refusal.hpp"
#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "session/focus.hpp"

namespace vexlor::test_support {
namespace {

using namespace std::chrono_literals;
using emulator::Response;
using emulator::Unit;
using protocol::model::Model;
using protocol::window::Window;

std::vector<std::uint8_t> descriptor(std::uint8_t id) {
    Window w;
    w.id = id;
    w.width = 100;
    w.length = 200;
    const auto b = w.to_bytes();
    return {b.begin(), b.end()};
}

TEST(Windows, ListsAtTheUnitsStride) {
    struct Case {
        std::size_t stride;
        std::size_t windows;  // how many descriptors the unit holds
        std::size_t tail;     // bytes after the last whole descriptor
        std::optional<std::size_t> got;
    };
    for (const Case c : {Case{50, 0, 6, 0}, Case{40, 0, 6, std::nullopt}, Case{64, 2, 8, 2}, Case{50, 3, 0, 3}}) {
        Rig rig;
        auto& s = rig.open();
        std::vector<std::vector<std::uint8_t>> list;
        for (std::size_t i = 0; i < c.windows; ++i) list.push_back(descriptor(static_cast<std::uint8_t>(i + 1)));
        rig.unit->on(0x25, [list, c](Unit&, std::span<const std::uint8_t> cdb, auto) {
            std::vector<std::uint8_t> d(8, 0);
            for (const auto& w : list) {
                auto piece = w;
                piece.resize(c.stride, 0xEE);
                d.insert(d.end(), piece.begin(), piece.end());
            }
            d.insert(d.end(), c.tail, 0xEE);
            d[1] = static_cast<std::uint8_t>(d.size() - 2);
            d[7] = static_cast<std::uint8_t>(c.stride);
            const std::size_t n = cdb[8];
            if (d.size() > n) d.resize(n);
            return Response::with_data(d);
        });
        const auto r = s.windows();
        if (!c.got) {
            ASSERT_FALSE(r);
            EXPECT_EQ(error::to_string(r.error()), "io error: descriptor stride of 40 is shorter than the 50 bytes 2-10-3 defines");
            continue;
        }
        ASSERT_TRUE(r) << error::debug_string(r.error());
        ASSERT_EQ(r->size(), *c.got);
        for (std::size_t i = 0; i < r->size(); ++i) EXPECT_EQ((*r)[i].id, i + 1);
    }
}

TEST(Windows, ShortHeaderEndsTheList) {
    Rig rig;
    auto& s = rig.open();
    rig.unit->on(0x25, [](Unit&, auto, auto) { return Response::with_data({0, 6, 0, 0}); });
    const auto r = s.windows();
    ASSERT_FALSE(r);
    EXPECT_EQ(error::to_string(r.error()), "io error: window descriptor was 4 bytes, need 8");
    EXPECT_EQ(rig.sent().size(), 1u);
}

// A window the LS-50 accepts.
Window image_window() {
    Window w;
    w.id = 1;
    w.x_dpi = w.y_dpi = 4000;
    w.ulx = 100;
    w.uly = 1000;
    w.width = 3000;
    w.length = 2000;
    w.composition = protocol::window::Composition::of(protocol::window::Composition::Kind::MultilevelRGB);
    w.bits = 8;
    w.kind = protocol::caps::set_window::kind::IMAGE;
    w.mode = protocol::caps::set_window::mode::NORMAL_QUALITY;
    w.interleaving = protocol::caps::set_window::interleaving::LINE_WITHOUT_DISTANCE;
    w.exposure = 100000;
    return w;
}

TEST(SetWindow, SendsTheListAndReportsARefusal) {
    Rig rig;
    auto& s = rig.open();
    const Window w = image_window();
    ASSERT_TRUE(w.validate(s.caps)) << error::debug_string(w.validate(s.caps).error());
    std::vector<std::uint8_t> list;
    rig.unit->on(0x24, Unit::Command{[&list](Unit&, auto, std::span<const std::uint8_t> out) {
                                         list.assign(out.begin(), out.end());
                                         return Response::good();
                                     },
                                     [](auto) { return std::size_t{58}; }});
    diag::Capture cap;
    ASSERT_TRUE(s.set_window(w));
    EXPECT_EQ(rig.sent(), (std::vector<Cdb>{{0x24, 0, 0, 0, 0, 0, 0, 0, 0x3A, 0x80}}));
    ASSERT_EQ(list.size(), 58u);
    EXPECT_EQ(std::vector<std::uint8_t>(list.begin(), list.begin() + 8), (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0x32}));
    const auto d = w.to_bytes();
    EXPECT_TRUE(std::equal(d.begin(), d.end(), list.begin() + 8));
    const auto ev = cap.find(diag::Level::Debug, "setting window", "vexlor::session::window");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(*ev[0].value("window.origin"), "(100, 1000)");
    EXPECT_EQ(*ev[0].value("window.size"), "(3000, 2000)");

    // A refused window must not pass for one the unit holds.
    rig.unit->on(0x24, [](Unit&, auto, auto) { return check(5, 0x26, 0); });
    const auto r = s.set_window(w);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is_refusal(protocol::sense::Refusal::BadParamField));
    rig.unit->on(0x24, [](Unit&, auto, auto) { return check(1, 0x37, 0); });
    EXPECT_TRUE(s.set_window(w));
    EXPECT_TRUE(cap.contains(diag::Level::Info, "the scanner had a note about that"));
    // A window failing its checks sends nothing.
    Window bad = w;
    bad.bits = 3;
    rig.mark();
    EXPECT_FALSE(s.set_window(bad));
    EXPECT_TRUE(rig.sent().empty());
}

TEST(SetWindow, WarnsWhenNoFrameHoldsAnImageWindow) {
    Rig rig;
    auto& s = rig.open();
    const Window w = image_window();  // x 100..3100, y 1000..3000
    struct Case {
        std::optional<protocol::data::FrameTable> table;
        Window window;
        bool warns;
    };
    Window thumb = w;
    thumb.kind = protocol::caps::set_window::kind::THUMBNAIL;
    thumb.x_dpi = thumb.y_dpi = 1000;
    const auto rects = [](std::vector<protocol::data::Rect> r) {
        return protocol::data::FrameTable{protocol::data::FrameTable::Rects{{std::move(r)}}};
    };
    const std::vector<Case> cases{
        {rects({{1000, 100, 3000, 3100}}), w, false},  // exactly as large as the frame
        {rects({{1001, 100, 3000, 3100}}), w, true},
        {rects({{1001, 100, 3000, 3100}}), thumb, false},
        {rects({}), w, false},
        {protocol::data::FrameTable{protocol::data::FrameTable::Positions{}}, w, false},
        {std::nullopt, w, false},
    };
    for (const auto& c : cases) {
        s.frame_table = c.table;
        diag::Capture cap;
        const auto r = s.set_window(c.window);
        ASSERT_TRUE(r) << error::debug_string(r.error());
        EXPECT_EQ(cap.contains(diag::Level::Warn, "no frame holds this window, so the stage will home to reach it"), c.warns);
    }
}

TEST(Focus, PointOnTheFrame) {
    const protocol::caps::address::Axis x{.origin_min = 0, .origin_max = 5000};
    const protocol::caps::address::Axis y{.origin_min = 1500, .origin_max = 40000};
    struct Case {
        std::uint32_t low, high;
        float f;
        const protocol::caps::address::Axis* axis;
        std::uint32_t at;
    };
    const std::vector<Case> cases{
        {2000, 6000, 0.5f, &x, 4000}, {1000, 3000, 0.5f, &y, 2000}, {2000, 6000, 1.5f, &x, 5000},
        {2000, 6000, -0.2f, &x, 2000}, {2000, 6000, NAN, &x, 2000},  {6000, 2000, 0.7f, &x, 5000},
        {0, 1000, 0.2f, &y, 1500},
    };
    for (const auto& c : cases) EXPECT_EQ(session::focus::point_on(c.low, c.high, c.f, *c.axis), c.at) << c.low << " " << c.f;
}

TEST(Focus, RequestsAndTheirRefusals) {
    Rig rig(Model::Ls50);
    auto& s = rig.open();
    rig.mark();
    EXPECT_EQ(s.focus_frame({}, {scan::focus::Focus::Hold{}}), scan::focus::Focused::Skipped);
    expect_refused(s.focus_to(900), "focus position", "900 is outside 100 to 800");
    expect_refused(s.autofocus(100, 100, 1), "execute operation", "this unit does not offer ColorAutoFocus");
    expect_refused(s.autofocus(200, 100, std::nullopt), "autofocus address", "X 200 is outside 0 to 150");
    expect_refused(s.autofocus(100, 36001, std::nullopt), "autofocus address", "Y 36001 is outside 0 to 36000");
    s.frame_table = protocol::data::FrameTable{protocol::data::FrameTable::Rects{{{{0, 0, 10, 10}}}}};
    expect_refused(s.autofocus(100, 100, std::nullopt), "autofocus address",
                   "(100, 100) is in none of the [Rect { top: 0, left: 0, bottom: 10, right: 10 }]");
    s.caps.features.cooperation = protocol::caps::other::cooperation::AUTOFOCUS;
    expect_refused(s.autofocus(100, 100, std::nullopt), "autofocus", "this unit leaves focusing to the driver");
    EXPECT_TRUE(rig.sent().empty());
}

TEST(Focus, AutofocusThatMissesIsNotReached) {
    Rig rig(Model::Ls50);
    auto& s = rig.open();
    rig.unit->on(0xE0, Unit::Command{[](Unit&, auto, auto) { return Response::good(); }, [](auto) { return std::size_t{9}; }});
    rig.unit->on(0xC1, [](Unit&, auto, auto) { return Response::good(); });
    rig.unit->on(0x00, [](Unit&, auto, auto) { return check(1, 0x61, 0x02); });
    diag::Capture cap;
    const auto r = s.focus_frame({1000, 0, 3000, 100}, {scan::focus::Focus::Auto{}});
    ASSERT_TRUE(r) << error::debug_string(r.error());
    EXPECT_EQ(*r, scan::focus::Focused::NotReached);
    EXPECT_TRUE(cap.contains(diag::Level::Warn, "autofocus did not reach focus", "vexlor::session::focus"));
    EXPECT_EQ(rig.sent().front(), (Cdb{0xE0, 0, 0xA0, 0, 0, 0, 0, 0, 9, 0}));
}

}  // namespace
}  // namespace vexlor::test_support
