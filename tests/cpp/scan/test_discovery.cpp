// Frame discovery end to end: the emulated unit holds a film, the real session and pass engine take
// its thumbnail, and what discovery finds is held against where the unit put every frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "cpp/fake_clock.hpp"
#include "cpp/refusal.hpp"
#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "emulator/film.hpp"
#include "emulator/testbed.hpp"
#include "scan/frame.hpp"
#include "scan/framing.hpp"
#include "scan/window.hpp"
#include "transport/usb.hpp"

namespace vexlor::scan::framing {
namespace {

using emulator::film::Film;
using emulator::film::Plan;
using protocol::caps::film::FilmFormat;
using protocol::data::FramePosition;
using protocol::data::PerforationInformation;
using protocol::data::Rect;
using protocol::model::Model;
using test_support::Rig;

constexpr std::uint8_t BOUNDARY = 0x88;
constexpr std::uint8_t PERFORATION = 0x8E;
constexpr std::uint8_t BOUNDARY2 = 0x8F;

// READ of perforation readings, and READ and SEND of frame-position tables.
void position_by_perforations(emulator::Unit& unit) {
    unit.edit([](emulator::ModelValues& v) { v.features.data_types |= std::uint64_t{1} << 30 | std::uint64_t{3} << 32; });
}

// A stateful unit holding `film` (the model's own film when none), opened.
struct Loaded {
    Loaded(Model model, std::optional<Plan> plan, bool perforated = false) : rig(model, Rig::Handlers::Stateful) {
        if (perforated) position_by_perforations(*rig.unit);
        if (plan) rig.unit->set_film(emulator::film::strip(rig.unit->values(), *plan));
        rig.open();
    }
    session::Session& s() { return *rig.session; }
    error::Result<Discovered> discover(std::optional<FilmFormat> format = std::nullopt) {
        rig.mark();
        return discover_with(s(), format, samples, {});
    }

    Rig rig;
    protocol::decode::Samples samples;
};

// The frames on the film a grid fit can see: a missing frame at either end of the strip is bare film.
std::vector<emulator::film::Frame> visible(const Film& film) {
    auto frames = film.frames;
    while (!frames.empty() && frames.back().density == 0) frames.pop_back();
    while (!frames.empty() && frames.front().density == 0) frames.erase(frames.begin());
    return frames;
}

double centre(const emulator::film::Frame& f) { return f.top + f.length / 2.0; }

// How far a found frame's centre may lie from where the unit put it. The fit is a regular grid
// whose gap lines fall anywhere on the bare film between frames: every gap column there scores the
// same, and ties go to the smaller pitch and offset. So a frame's cell, between two gap lines, may
// sit off the frame by half the wider of the bare stretches on either side of it (the lead and
// the tail of the film at its ends). On top of that come three thumbnail columns: the gap column
// is the least detailed within two of the line, and the cell's trims (3 columns and 2) and the
// rounding of the centre and the top to whole columns take one more.
std::vector<double> tolerances(const Film& film, const std::vector<emulator::film::Frame>& frames, double column) {
    std::vector<double> out;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const double before = i == 0 ? frames[i].top - static_cast<double>(film.start)
                                     : frames[i].top - static_cast<double>(frames[i - 1].top + frames[i - 1].length);
        const double after = i + 1 == frames.size() ? static_cast<double>(film.end) - (frames[i].top + frames[i].length)
                                                    : frames[i + 1].top - static_cast<double>(frames[i].top + frames[i].length);
        out.push_back(std::max(before, after) / 2 + 3 * column);
    }
    return out;
}

// Every frame the film shows is found once, in order, centred within the tolerance, each found
// rectangle as long as the format's reachable frame and across where the mechanism puts it.
void expect_frames(const std::vector<Rect>& found, const Film& film, double column, std::uint32_t length, std::uint32_t left,
                   std::uint32_t right) {
    const auto frames = visible(film);
    ASSERT_EQ(found.size(), frames.size());
    const auto tol = tolerances(film, frames, column);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(fmt::format("frame {}", i + 1));
        EXPECT_NEAR(found[i].top + length / 2.0, centre(frames[i]), tol[i]);
        EXPECT_EQ(found[i].bottom - found[i].top, length);
        EXPECT_EQ(found[i].left, left);
        EXPECT_EQ(found[i].right, right);
    }
}

std::uint32_t quarters(std::uint16_t perf, std::uint8_t decimal) { return 4u * perf + decimal; }

// The frame tables and passes discovery took, in order: "R8E" for a read of perforations, "R8F"
// and "S8F" for a frame-position table read and sent, "S88" for a rectangle table, "SCAN".
std::vector<std::string> table_traffic(const std::vector<test_support::Cdb>& sent) {
    std::vector<std::string> out;
    for (const auto& c : sent) {
        std::string t;
        if (c[0] == session::opcode::SCAN) t = "SCAN";
        if ((c[0] == session::opcode::READ || c[0] == session::opcode::SEND) && (c[2] == PERFORATION || c[2] == BOUNDARY2 || c[2] == BOUNDARY)) {
            t = fmt::format("{}{:02X}", c[0] == session::opcode::READ ? 'R' : 'S', c[2]);
        }
        // A record read is a header read and a whole read: one entry.
        if (!t.empty() && (out.empty() || out.back() != t || t == "SCAN")) out.push_back(std::move(t));
    }
    return out;
}

std::uint32_t format_length(const session::Session& s, FilmFormat f) {
    return window::reachable_blocks(s.caps, feed_addresses(s.caps, frame_length(f)));
}

// Checks what the perforation mechanism found against the unit's film and readings.
void expect_positions(Loaded& u, const Discovered& d) {
    const auto& caps = u.s().caps;
    const Film film = u.rig.unit->film();
    const auto readings = u.rig.unit->perforations();
    const auto pass = u.rig.unit->pass();
    ASSERT_TRUE(pass);
    ASSERT_EQ(readings.size(), pass->layout().lines);
    ASSERT_TRUE(d.pitch);
    const double column = static_cast<double>(d.pitch->addresses) / static_cast<double>(d.pitch->columns);
    // The pitch measured on the perforations is the thumbnail's line pitch within a column's rounding.
    EXPECT_NEAR(column, pass->layout().y_pitch, 2.0 * pass->layout().y_pitch / static_cast<double>(d.pitch->columns) + 0.01);
    const std::uint32_t length = format_length(u.s(), FilmFormat(FilmFormat::Kind::F135));
    expect_frames(d.frames, film, column, length, caps.address.x.origin_min, caps.address.x.origin_min + caps.address.x.max_extent);

    const auto* table = std::get_if<protocol::data::FrameTable::Positions>(&d.table.value);
    ASSERT_TRUE(table);
    ASSERT_EQ(table->table.positions.size(), d.frames.size());
    for (std::size_t i = 0; i < d.frames.size(); ++i) {
        const FramePosition& p = table->table.positions[i];
        EXPECT_EQ(p.top, d.frames[i].top);
        // Tied to the reading under its top: the unit's reading of that column, which is the film's
        // own perforation count at the top within a quarter.
        const std::uint64_t col = (d.pitch->columns * (p.top - caps.address.y.origin_min) + d.pitch->addresses / 2) / d.pitch->addresses;
        ASSERT_LT(col, readings.size());
        EXPECT_EQ((FramePosition{p.top, readings[col].perf_number, readings[col].perf_decimal, readings[col].pulse_number}), p);
        const auto truth = emulator::film::perforation_at(film, p.top);
        EXPECT_LE(std::abs(static_cast<int>(quarters(p.perf_number, p.perf_decimal)) -
                           static_cast<int>(quarters(truth.perf_number, truth.perf_decimal))),
                  1);
    }
    // The unit holds exactly that table, and the session keeps it.
    EXPECT_EQ(u.rig.unit->table(BOUNDARY2), *table->table.to_bytes());
    EXPECT_EQ(u.s().frame_table, d.table);
    EXPECT_EQ(table_traffic(u.rig.sent()), (std::vector<std::string>{"R8E", "R8F", "SCAN", "R8E", "S8F"}));
}

Plan with_density(std::vector<int> density) {
    Plan p;
    p.density = std::move(density);
    return p;
}

// ---- each mechanism on the model whose capabilities pick it ----

TEST(Discovery, PerforationsTieEachFrameToItsReading) {
    struct Case {
        const char* name;
        Plan plan;
    };
    std::vector<Case> cases;
    for (int n = 1; n <= 6; ++n) cases.push_back({"", Plan{.count = n}});
    cases.push_back({"loaded 1500 addresses in", Plan{.count = 5, .offset = 1500}});
    cases.push_back({"nearly clear frames", with_density({100, 12, 100, 100, 20, 100})});
    cases.push_back({"dark frames", Plan{.count = 5, .darkness = {0, 85, 90, 80, 0}}});
    cases.push_back({"a missing frame", with_density({100, 100, 0, 100, 100})});
    cases.push_back({"a missing frame at the end", with_density({100, 100, 100, 100, 0})});
    cases.push_back({"slide film on dark base", Plan{.count = 4, .base = emulator::film::Base::Dark}});
    cases.push_back({"gaps of 3.4 to 4.6 mm", Plan{.gap = 400, .count = 5}});
    for (auto& c : cases) {
        if (c.plan.density.size() > 0) c.plan.count = static_cast<int>(c.plan.density.size());
        SCOPED_TRACE(*c.name ? std::string(c.name) : fmt::format("{} frames", c.plan.count));
        Loaded u(Model::Ls50, c.plan, true);
        ASSERT_EQ(choose(u.s().caps), Framing::Perforation);
        diag::Capture cap;
        const auto d = u.discover();  // the holder says 135
        ASSERT_TRUE(d) << error::debug_string(d.error());
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "measured the thumbnail line against the perforation table"));
        ASSERT_TRUE(d->contrast);
        EXPECT_GT(*d->contrast, 0.0f);
        ASSERT_TRUE(d->thumbnail);
        expect_positions(u, *d);
    }
}

TEST(Discovery, ThumbnailFitFramesTheStripForTheUnitThatCannotPublishIt) {
    struct Case {
        const char* name;
        Plan plan;
        std::optional<FilmFormat> format;  // none: the holder's
    };
    const Case cases[] = {
        {"four 6x6", Plan{.frame = 5600, .width = 5500, .gap = 300, .count = 4, .perforated = false}, std::nullopt},
        {"6x6 with the second frame missing",
         Plan{.frame = 5600, .width = 5500, .gap = 300, .count = 4, .density = {100, 0, 100, 100}, .perforated = false},
         std::nullopt},
        {"two 6x9", Plan{.frame = 8400, .width = 5500, .gap = 300, .count = 2, .offset = 2000, .perforated = false},
         FilmFormat(FilmFormat::Kind::F69)},
        {"a 135 strip", Plan{.count = 6, .offset = 800}, FilmFormat(FilmFormat::Kind::F135)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded u(Model::Ls8000, c.plan);  // its published table has an empty slot
        ASSERT_EQ(choose(u.s().caps), Framing::Thumbnail);
        const auto d = u.discover(c.format);
        ASSERT_TRUE(d) << error::debug_string(d.error());
        const auto pass = u.rig.unit->pass();
        ASSERT_TRUE(pass);
        // The pitch is the thumbnail's line pitch, as the pass layout gives it.
        ASSERT_TRUE(d->pitch);
        EXPECT_EQ(*d->pitch, (thumbnail::LinePitch{pass->layout().y_pitch, 1}));
        ASSERT_TRUE(d->contrast);
        const auto& first = u.s().caps.frames->frames.front();  // across: the first published frame
        const auto format = c.format.value_or(FilmFormat(FilmFormat::Kind::F66));
        expect_frames(d->frames, u.rig.unit->film(), pass->layout().y_pitch, format_length(u.s(), format), first.x,
                      first.x + first.width);
        // The rectangles go to the unit as its frame table, and the session keeps them.
        const protocol::data::Boundary sent{d->frames};
        EXPECT_EQ(u.rig.unit->table(BOUNDARY), *sent.to_bytes());
        EXPECT_EQ(u.s().frame_table, d->table);
        EXPECT_EQ(table_traffic(u.rig.sent()), (std::vector<std::string>{"SCAN", "S88"}));
    }
}

TEST(Discovery, BareFilmIsNoFramesAndNoTable) {
    for (const bool perforated : {false, true}) {
        SCOPED_TRACE(perforated ? "by perforations" : "by thumbnail");
        Loaded u(perforated ? Model::Ls50 : Model::Ls8000, Plan{.count = 0}, perforated);
        const auto d = u.discover(FilmFormat(FilmFormat::Kind::F135));
        ASSERT_TRUE(d) << error::debug_string(d.error());
        EXPECT_TRUE(d->frames.empty());
        EXPECT_TRUE(d->pitch);
        EXPECT_TRUE(d->thumbnail);
        EXPECT_FALSE(d->contrast);
        for (const auto& c : u.rig.sent()) EXPECT_NE(c[0], session::opcode::SEND);
    }
}

TEST(Discovery, AThumbnailCutShortIsFramedAsFarAsItArrived) {
    Loaded u(Model::Ls8000, Plan{.count = 6});
    // The unit holds 60% of the pass: the columns after it never arrive and read as zero.
    {
        protocol::decode::Samples probe;
        auto full = u.s().scan_thumbnail_with(probe, {});
        ASSERT_TRUE(full) << error::debug_string(full.error());
        u.rig.unit->script_image({.end_at = u.rig.unit->pass()->total() * 6 / 10});
    }
    const auto d = u.discover(FilmFormat(FilmFormat::Kind::F135));
    ASSERT_TRUE(d) << error::debug_string(d.error());
    ASSERT_TRUE(d->thumbnail);
    EXPECT_FALSE(d->thumbnail->complete);
    const auto image = d->thumbnail->image(u.samples);
    ASSERT_TRUE(image);
    const auto pass = u.rig.unit->pass();
    ASSERT_LT(image->ready, pass->layout().lines);
    const std::uint32_t arrived = pass->film_y(static_cast<std::uint32_t>(image->ready));
    // The frames wholly on the arrived columns, and at most the one the cut runs through.
    Film film = u.rig.unit->film();
    std::size_t whole = 0;
    while (whole < film.frames.size() && film.frames[whole].top + film.frames[whole].length <= arrived) ++whole;
    ASSERT_GE(d->frames.size(), whole);
    ASSERT_LE(d->frames.size(), whole + 1);
    film.frames.resize(d->frames.size());
    const auto& first = u.s().caps.frames->frames.front();
    expect_frames(d->frames, film, pass->layout().y_pitch, format_length(u.s(), FilmFormat(FilmFormat::Kind::F135)), first.x,
                  first.x + first.width);
}

TEST(Discovery, PublishedTableIsTakenAsItStands) {
    Loaded u(Model::Ls9000, std::nullopt);
    ASSERT_EQ(choose(u.s().caps), Framing::Published);
    const auto d = u.discover();
    ASSERT_TRUE(d) << error::debug_string(d.error());
    const auto film = u.rig.unit->film();
    ASSERT_EQ(d->frames.size(), film.frames.size());
    const std::uint32_t block = window::line_block(u.s().caps);
    for (std::size_t i = 0; i < film.frames.size(); ++i) {
        const auto& f = film.frames[i];
        const Rect& r = d->frames[i];
        EXPECT_EQ((std::array{r.top, r.left, r.right}), (std::array{f.top, f.left, f.left + f.width}));
        // The length is whole line blocks, no shorter than the frame.
        EXPECT_EQ((r.bottom - r.top) % block, 0u);
        EXPECT_GE(r.bottom, f.top + f.length);
        EXPECT_LT(r.bottom, f.top + f.length + block);
    }
    EXPECT_FALSE(d->pitch);
    EXPECT_FALSE(d->thumbnail);
    EXPECT_FALSE(d->contrast);
    EXPECT_TRUE(u.rig.sent().empty());
}

TEST(Discovery, AddressPageFramesHoldTheWholeStrip) {
    for (const Model model : {Model::Ls40, Model::Ls50, Model::Ls4000, Model::Ls5000}) {
        SCOPED_TRACE(protocol::model::name(model));
        Loaded u(model, std::nullopt);
        ASSERT_EQ(choose(u.s().caps), Framing::Address);
        const auto d = u.discover();
        ASSERT_TRUE(d) << error::debug_string(d.error());
        ASSERT_FALSE(d->frames.empty());
        const protocol::data::Boundary found{d->frames};
        for (const auto& f : u.rig.unit->film().frames) {
            const auto holder = found.at(f.left, f.top);
            ASSERT_TRUE(holder);
            EXPECT_EQ(found.at(f.left + f.width - 1, f.top + f.length - 1), holder);
        }
        EXPECT_FALSE(d->pitch);
        EXPECT_TRUE(u.rig.sent().empty());
    }
}

// ---- registration ----

TEST(Discovery, ARectangleDrawnByHandIsRegisteredForItsPassAndTheTableGoesBack) {
    Loaded u(Model::Ls50, Plan{.count = 4}, true);
    const auto d = u.discover();
    ASSERT_TRUE(d) << error::debug_string(d.error());
    ASSERT_EQ(d->frames.size(), 4u);
    const auto kept = u.rig.unit->table(BOUNDARY2);
    ASSERT_TRUE(kept);

    // The third frame, moved 400 addresses along and cut shorter.
    Rect rect = d->frames[2];
    rect.top += 400;
    rect.bottom -= 1000;
    rect.left += 300;
    const auto readings = u.rig.unit->perforations();
    const auto& caps = u.s().caps;
    const std::uint64_t col = (d->pitch->columns * (rect.top - caps.address.y.origin_min) + d->pitch->addresses / 2) / d->pitch->addresses;
    ASSERT_LT(col, readings.size());
    const auto& r = readings[col];
    auto registered = std::get<protocol::data::FrameTable::Positions>(d->table.value).table;
    registered.register_position({rect.top, r.perf_number, r.perf_decimal, r.pulse_number});
    ASSERT_EQ(registered.positions[2].top, rect.top);
    const auto truth = emulator::film::perforation_at(u.rig.unit->film(), rect.top);
    EXPECT_LE(std::abs(static_cast<int>(quarters(r.perf_number, r.perf_decimal)) -
                       static_cast<int>(quarters(truth.perf_number, truth.perf_decimal))),
              1);

    // What the unit holds at each SCAN of the frame operation.
    auto held = std::make_shared<std::vector<std::optional<std::vector<std::uint8_t>>>>();
    u.rig.unit->on(session::opcode::SCAN, emulator::Unit::Command{[held](emulator::Unit& unit, auto cdb, auto out) {
                                                                      held->push_back(unit.table(BOUNDARY2));
                                                                      return unit.standard(cdb, out);
                                                                  },
                                                                  [](auto cdb) { return std::size_t{cdb[4]}; }});
    u.rig.mark();
    const window::Recipe recipe{1000, 1, protocol::caps::set_window::interleaving::LINE_WITHOUT_DISTANCE.bits(), false};
    protocol::decode::Samples samples;
    const auto scanned =
        frame::scan_frame_with(u.s(), recipe, rect, {.focus = focus::Focus{focus::Focus::Hold{}}}, samples, {});
    ASSERT_TRUE(scanned) << error::debug_string(scanned.error());
    ASSERT_FALSE(held->empty());
    for (const auto& t : *held) EXPECT_EQ(t, registered.to_bytes().value());
    EXPECT_EQ(u.rig.unit->table(BOUNDARY2), kept);
    EXPECT_EQ(u.s().frame_table, d->table);
    const auto traffic = table_traffic(u.rig.sent());
    ASSERT_GE(traffic.size(), 4u);
    EXPECT_EQ((std::vector<std::string>(traffic.begin(), traffic.begin() + 2)), (std::vector<std::string>{"R8E", "S8F"}));
    EXPECT_EQ(traffic.back(), "S8F");

    // A rectangle at a frame's own top needs no registration: nothing is sent.
    u.rig.mark();
    const auto again = frame::scan_frame_with(u.s(), recipe, d->frames[1], {.focus = focus::Focus{focus::Focus::Hold{}}}, samples, {});
    ASSERT_TRUE(again) << error::debug_string(again.error());
    for (const auto& c : u.rig.sent()) EXPECT_FALSE(c[0] == session::opcode::SEND && c[2] == BOUNDARY2);
}

// ---- bad input from the unit ----

TEST(Discovery, PublishedTablesThatCannotBeTaken) {
    {
        SCOPED_TRACE("an empty table: the unit's thumbnail is fitted instead");
        Rig rig(Model::Ls9000, Rig::Handlers::Stateful);
        const auto film = rig.unit->film();
        rig.unit->edit([](emulator::ModelValues& v) { v.frames->frames.clear(); });
        rig.open();
        ASSERT_EQ(choose(rig.session->caps), Framing::Thumbnail);
        protocol::decode::Samples samples;
        // The holder does not say which medium format is in it.
        test_support::expect_refused(discover_with(*rig.session, std::nullopt, samples, {}), "film format",
                                     "this holder does not fix it (try: 66, 67, 69)");
        const auto d = discover_with(*rig.session, FilmFormat(FilmFormat::Kind::F67), samples, {});
        ASSERT_TRUE(d) << error::debug_string(d.error());
        const auto& a = rig.session->caps.address;
        expect_frames(d->frames, film, rig.unit->pass()->layout().y_pitch, format_length(*rig.session, FilmFormat(FilmFormat::Kind::F67)),
                      a.x.origin_min, a.x.origin_min + a.x.max_extent);
    }
    {
        SCOPED_TRACE("a table whose count claims a frame more than it carries: the session does not open on it");
        Rig rig(Model::Ls9000, Rig::Handlers::Stateful);
        auto page = *emulator::page_of(rig.unit->values(), 0xC8);
        page.resize(page.size() - 16);
        page[3] = static_cast<std::uint8_t>(page.size() - 4);
        rig.unit->set_page(0xC8, page);
        const auto s = rig.try_open();
        ASSERT_FALSE(s);
        // The third entry's first field would end at byte 41 of a 37-byte page.
        EXPECT_EQ(s.error(), error::Error(protocol::caps::Error::truncated(0xC8, 41, 37)));
    }
    {
        SCOPED_TRACE("a frame longer than the reach");
        Rig rig(Model::Ls9000, Rig::Handlers::Stateful);
        rig.unit->edit([](emulator::ModelValues& v) { v.frames->frames[1].length = 45000; });
        rig.open();
        rig.mark();
        protocol::decode::Samples samples;
        test_support::expect_refused(discover_with(*rig.session, std::nullopt, samples, {}), "frame table",
                                     "a frame of 45056 is past the 40000 boundary and would stall the stage");
        EXPECT_TRUE(rig.sent().empty());
    }
    struct Wrap {
        const char* name;
        std::uint32_t y, x, length, width;
        const char* reason;
    };
    for (const Wrap& w : {Wrap{"an entry whose bottom is past the last address", 0xFFFFFF00u, 100, 0x200, 3000,
                               "a frame at y 4294967040, x 100 of 512 by 3000 runs past the end of the unit's addresses"},
                          Wrap{"an entry whose right edge is past the last address", 1000, 0xFFFFFFB5u, 2000, 200,
                               "a frame at y 1000, x 4294967221 of 2000 by 200 runs past the end of the unit's addresses"}}) {
        SCOPED_TRACE(w.name);
        Rig rig(Model::Ls9000, Rig::Handlers::Stateful);
        rig.unit->edit([&](emulator::ModelValues& v) {
            auto& f = v.frames->frames[1];
            f.y = w.y, f.x = w.x, f.length = w.length, f.width = w.width;
        });
        rig.open();
        rig.mark();
        protocol::decode::Samples samples;
        test_support::expect_refused(discover_with(*rig.session, std::nullopt, samples, {}), "frame table", w.reason);
        EXPECT_TRUE(rig.sent().empty());
    }
}

// Readings of the unit's own, changed by `change` on their way out.
void alter_readings(emulator::Unit& unit, std::function<void(std::vector<PerforationInformation>&)> change) {
    unit.on(session::opcode::READ, [change](emulator::Unit& u, std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out) {
        if (cdb[2] != PERFORATION) return u.standard(cdb, out);
        auto readings = u.perforations();
        change(readings);
        return test_support::record(PERFORATION, emulator::perforation_record(readings), cdb);
    });
}

TEST(Discovery, PerforationReadingsThatDisagreeWithTheThumbnail) {
    {
        SCOPED_TRACE("readings that say the film moved twice as far: the nominal pitch stands in");
        Loaded u(Model::Ls50, Plan{.count = 5}, true);
        alter_readings(*u.rig.unit, [](auto& r) {
            for (auto& p : r) p.perf_number = static_cast<std::uint16_t>(2 * p.perf_number);
        });
        diag::Capture cap;
        const auto d = u.discover();
        ASSERT_TRUE(d) << error::debug_string(d.error());
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "no perforation table to measure the thumbnail line against"));
        EXPECT_EQ(d->pitch, (thumbnail::LinePitch{10, 1}));  // 4000 dpi over a 400-dpi thumbnail
        EXPECT_EQ(d->frames.size(), 5u);
        EXPECT_EQ(u.rig.unit->table(BOUNDARY2), std::get<protocol::data::FrameTable::Positions>(d->table.value).table.to_bytes().value());
    }
    {
        SCOPED_TRACE("readings for the first half of the pass: the frames past them are dropped");
        Loaded u(Model::Ls50, Plan{.count = 6}, true);
        alter_readings(*u.rig.unit, [](auto& r) { r.resize(r.size() / 2); });
        diag::Capture cap;
        const auto d = u.discover();
        ASSERT_TRUE(d) << error::debug_string(d.error());
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "the perforation table does not run the length of the thumbnail pass"));
        const auto dropped = cap.find(diag::Level::Warn, "no perforation reading for this frame, dropped");
        EXPECT_FALSE(dropped.empty());
        EXPECT_EQ(d->frames.size() + dropped.size(), 6u);
        const std::uint32_t half = u.rig.unit->pass()->film_y(static_cast<std::uint32_t>(u.rig.unit->perforations().size() / 2));
        for (const auto& f : d->frames) EXPECT_LT(f.top, half);
    }
    {
        SCOPED_TRACE("no readings at all: nothing can be positioned and nothing is sent");
        Loaded u(Model::Ls50, Plan{.count = 3}, true);
        alter_readings(*u.rig.unit, [](auto& r) { r.clear(); });
        const auto d = u.discover();
        ASSERT_TRUE(d) << error::debug_string(d.error());
        EXPECT_TRUE(d->frames.empty());
        EXPECT_TRUE(d->contrast);  // the strip was fitted
        EXPECT_FALSE(u.rig.unit->table(BOUNDARY2));
    }
    {
        SCOPED_TRACE("the frame-position table cannot be read first: discovery goes on");
        Loaded u(Model::Ls50, Plan{.count = 3}, true);
        u.rig.unit->on(session::opcode::READ, [](emulator::Unit& unit, std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out) {
            if (cdb[2] == BOUNDARY2) return test_support::check(4, 0x44, 0);
            return unit.standard(cdb, out);
        });
        const auto d = u.discover();
        ASSERT_TRUE(d) << error::debug_string(d.error());
        EXPECT_EQ(d->frames.size(), 3u);
    }
    {
        SCOPED_TRACE("the perforations cannot be read first: discovery stops before the pass");
        Loaded u(Model::Ls50, Plan{.count = 3}, true);
        u.rig.unit->on(session::opcode::READ, test_support::on_nth(1, test_support::check(4, 0x44, 0)));
        const auto d = u.discover();
        ASSERT_FALSE(d);
        EXPECT_TRUE(d.error().is_failure<protocol::sense::Failure::Hardware>()) << error::debug_string(d.error());
        for (const auto& c : u.rig.sent()) EXPECT_NE(c[0], session::opcode::SCAN);
    }
}

// ---- over the real USB link ----

TEST(DiscoveryOverUsb, PerforationsThroughTheUsbTransport) {
    emulator::Testbed bed;
    auto unit = bed.add_usb(Model::Ls50, 1, {2}, {.product = protocol::model::usb_product(Model::Ls50).value_or(0x4001)});
    position_by_perforations(*unit);
    unit->set_film(emulator::film::strip(unit->values(), Plan{.count = 5, .offset = 600}));
    auto list = transport::usb::enumerate();
    ASSERT_TRUE(list);
    const auto device = std::find_if(list->begin(), list->end(), [](const auto& d) { return d.vendor == 0x04B0; });
    ASSERT_NE(device, list->end());
    test_support::SkipClock link_clock;
    auto t = transport::usb::UsbTransport::open(*device, link_clock);
    ASSERT_TRUE(t);
    test_support::StepClock clock;
    auto s = session::Session::open(std::move(*t), clock);
    ASSERT_TRUE(s) << error::debug_string(s.error());
    protocol::decode::Samples samples;
    const auto d = discover_with(*s, std::nullopt, samples, {});
    ASSERT_TRUE(d) << error::debug_string(d.error());
    ASSERT_TRUE(d->pitch);
    const double column = static_cast<double>(d->pitch->addresses) / static_cast<double>(d->pitch->columns);
    const auto& a = s->caps.address;
    expect_frames(d->frames, unit->film(), column, format_length(*s, FilmFormat(FilmFormat::Kind::F135)), a.x.origin_min,
                  a.x.origin_min + a.x.max_extent);
    EXPECT_EQ(unit->table(BOUNDARY2), std::get<protocol::data::FrameTable::Positions>(d->table.value).table.to_bytes().value());
}

}  // namespace
}  // namespace vexlor::scan::framing
