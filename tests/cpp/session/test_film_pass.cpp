// Passes over the emulated unit's film: what the engine decodes is the picture the unit rendered,
// for every model and reading mode, and the unit's faults end a pass the way they should.
#include <gtest/gtest.h>

#include "cpp/film_check.hpp"
#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "scan/window.hpp"
#include "session/scan.hpp"

namespace vexlor::test_support {
namespace {

using protocol::model::Model;
using protocol::window::Window;
namespace sw = protocol::caps::set_window;

constexpr auto START = std::chrono::seconds(1800);

struct FilmRig {
    explicit FilmRig(Model model) : rig(model, Rig::Handlers::Stateful) { rig.open(); }
    session::Session& s() { return *rig.session; }

    // Windows over a small part of the first frame.
    error::Result<std::vector<Window>> windows(std::uint16_t dpi, std::uint8_t readings, std::uint8_t interleaving, bool infrared,
                                               std::uint32_t length = 240) {
        const auto& caps = s().caps;
        const auto film = rig.unit->film();
        const std::uint32_t top = film.frames.front().top + 300, left = film.frames.front().left + 200;
        const scan::window::Recipe recipe{dpi, readings, interleaving, infrared};
        return recipe.windows(caps, {top, left, top + length, left + 320});
    }

    Rig rig;
};

long abort_sent(const Rig& rig) {
    const auto sent = rig.sent();
    return std::count_if(sent.begin(), sent.end(), [](const Cdb& c) { return c[0] == session::opcode::ABORT; });
}

std::vector<Model> models() { return {Model::Ls40, Model::Ls50, Model::Ls4000, Model::Ls5000, Model::Ls8000, Model::Ls9000}; }

TEST(FilmPass, DecodesWhatTheUnitRenderedInEveryReadingMode) {
    struct Mode {
        const char* name;
        int dpi_divisor;  // of the optical resolution
        std::uint8_t readings;
        bool all_rows;
        bool infrared;
    };
    const Mode modes[] = {
        {"one row at a time", 4, 1, false, false},
        {"with infrared", 2, 1, false, true},
        {"all rows at once", 1, 1, true, true},
        {"two readings", 1, 2, false, true},
        {"three readings, all rows", 1, 3, true, false},
    };
    int passes = 0;
    for (const Model model : models()) {
        for (const auto& m : modes) {
            SCOPED_TRACE(fmt::format("{} {}", protocol::model::name(model), m.name));
            FilmRig f(model);
            const auto& caps = f.s().caps;
            const auto dpi = static_cast<std::uint16_t>(caps.address.x.optical_dpi / m.dpi_divisor);
            const std::uint8_t interleaving = m.all_rows ? scan::window::interleaving_for(caps, dpi, false)
                                                         : sw::interleaving::LINE_WITHOUT_DISTANCE.bits();
            if (m.all_rows && interleaving != sw::interleaving::MULTILINE_SIMULTANEOUS.bits()) continue;
            auto windows = f.windows(dpi, m.readings, interleaving, m.infrared);
            if (!windows) {
                // Only what the unit lacks may refuse: a second reading, or infrared.
                EXPECT_TRUE((m.readings > 1 && !caps.set_window.modes.contains(sw::mode::MULTI_READING)) || m.infrared)
                    << error::debug_string(windows.error());
                continue;
            }
            protocol::decode::Samples samples;
            std::vector<session::scan::Progress> reports;
            auto pass = f.s().scan_pass_with(*windows, START, samples, [&](const auto& p) {
                reports.push_back(p);
                return false;
            });
            ASSERT_TRUE(pass) << error::debug_string(pass.error());
            EXPECT_TRUE(pass->complete);
            const auto rendered = f.rig.unit->pass();
            ASSERT_TRUE(rendered);
            EXPECT_EQ(rendered->layout(), pass->started.layout);
            EXPECT_EQ(film_mismatch(*rendered, samples), std::nullopt);
            ASSERT_FALSE(reports.empty());
            EXPECT_EQ(reports.back().bytes_done, rendered->total());
            EXPECT_EQ(rendered->sent(), rendered->total());
            EXPECT_FALSE(f.rig.unit->scanning());
            // SCAN names the windows in set order, their count in byte 4.
            const auto log = f.rig.unit->log();
            const auto scan = std::find_if(log.rbegin(), log.rend(), [](const auto& l) { return l.cdb[0] == session::opcode::SCAN; });
            ASSERT_NE(scan, log.rend());
            std::vector<std::uint8_t> ids;
            for (const auto& w : *windows) ids.push_back(w.id);
            EXPECT_EQ(scan->out, ids);
            EXPECT_EQ(scan->cdb[4], ids.size());
            ++passes;
        }
    }
    EXPECT_GE(passes, 20);
}

// A Truncate record during SCAN: 8 lead and 4 trail bytes a colour line, 2 lines before the pass
// and 1 after.
std::vector<std::uint8_t> truncate_record() {
    std::vector<std::uint8_t> r(27, 0);
    r[0] = 6;
    r[8] = 8;
    r[10] = 4;
    r[20] = 2;
    r[22] = 1;
    return r;
}

TEST(FilmPass, StripsTheEdgesAndLinesTheUnitAnnouncedDuringScan) {
    for (const Model model : {Model::Ls50, Model::Ls5000, Model::Ls9000}) {
        SCOPED_TRACE(protocol::model::name(model));
        FilmRig f(model);
        f.rig.unit->cooperate(session::opcode::SCAN, truncate_record());
        auto windows = f.windows(1000, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), false);
        ASSERT_TRUE(windows);
        protocol::decode::Samples samples;
        auto pass = f.s().scan_pass_with(*windows, START, samples, {});
        ASSERT_TRUE(pass) << error::debug_string(pass.error());
        EXPECT_TRUE(pass->complete);
        EXPECT_EQ(pass->started.layout.color_edges, (std::pair<std::uint32_t, std::uint32_t>{8, 4}));
        EXPECT_EQ(pass->started.layout.head_lines, 2u);
        EXPECT_GE(f.rig.unit->cooperation_reads(), 1);
        EXPECT_EQ(film_mismatch(*f.rig.unit->pass(), samples), std::nullopt);
    }
}

TEST(FilmPass, UnitFaultsAndCancellingEndThePass) {
    enum class Ends { Complete, Short, Fault, Cancelled };
    struct Case {
        const char* name;
        emulator::ImageFaults faults;
        int cancel_after;  // reports; 0 never
        bool has_abort;
        Ends ends;
        int reports;  // -1: any
        long aborts;
    };
    const Case cases[] = {
        {"the whole pass", {}, 0, true, Ends::Complete, -1, 0},  // a finished pass is closed without ABORT
        {"the unit runs out of data", {.end_at = 150000}, 0, true, Ends::Short, -1, 1},
        {"ILI with the residue", {.end_at = 150000, .ili = true}, 0, true, Ends::Short, -1, 1},
        {"a READ refused out of sequence ends the stream", {.refused_at = 3}, 0, true, Ends::Short, 2, 1},
        {"a READ fails after three chunks", {.fail_at = 4}, 0, true, Ends::Fault, 3, 1},
        {"the unit stops answering", {.silent_at = 3}, 0, true, Ends::Fault, 2, 1},  // ABORT tried, the link is gone
        {"cancelled after the first chunk", {}, 1, true, Ends::Cancelled, 1, 1},
        {"cancelled on a unit without ABORT", {}, 1, false, Ends::Cancelled, 1, 1},
        // The READ in flight is cut short: the cancel does not wait for its time-out.
        {"cancelled while a READ never ends", {.stall_at = 2}, 1, true, Ends::Cancelled, 1, 1},
        {"cancelled while the unit answers busy to a READ", {.stall_at = 2, .stall = emulator::Stall::Busy}, 1, true,
         Ends::Cancelled, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FilmRig f(Model::Ls5000);
        f.rig.unit->script_image(c.faults);
        if (!c.has_abort) f.rig.unit->refuse(session::opcode::ABORT);
        auto windows = f.windows(4000, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), true, 1200);
        ASSERT_TRUE(windows);
        protocol::decode::Samples samples;
        int reports = 0;
        diag::Capture cap;
        auto pass = f.s().scan_pass_with(*windows, START, samples, [&](const auto&) { return ++reports == c.cancel_after; });
        switch (c.ends) {
            case Ends::Complete:
            case Ends::Short:
                ASSERT_TRUE(pass) << error::debug_string(pass.error());
                EXPECT_EQ(pass->complete, c.ends == Ends::Complete);
                EXPECT_EQ(cap.contains(diag::Level::Warn, "the unit gave less than the pass promised"), c.ends == Ends::Short);
                EXPECT_TRUE(cap.contains(diag::Level::Debug, "pass", "vexlor::session::scan"));
                break;
            case Ends::Fault:
                ASSERT_FALSE(pass);
                EXPECT_FALSE(pass.error().get_if<error::Error::Cancelled>()) << error::debug_string(pass.error());
                break;
            case Ends::Cancelled:
                ASSERT_FALSE(pass);
                EXPECT_EQ(pass.error(), error::Error::cancelled());
                break;
        }
        if (!pass) {
            EXPECT_FALSE(cap.contains(diag::Level::Debug, "pass", "vexlor::session::scan"));
        }
        if (c.reports >= 0) {
            EXPECT_EQ(reports, c.reports);
        }
        EXPECT_EQ(abort_sent(f.rig), c.aborts);
        if (!c.has_abort) {
            // The rest was read off instead: the unit has handed over the whole stream.
            EXPECT_TRUE(cap.contains(diag::Level::Debug, "no ABORT on this unit, so reading the remainder off instead"));
            EXPECT_EQ(f.rig.unit->pass()->sent(), f.rig.unit->pass()->total());
        }
        if (c.faults.silent_at) continue;
        // The unit is out of its scan and the session free again.
        EXPECT_FALSE(f.rig.unit->scanning());
        EXPECT_TRUE(f.s().test_unit_ready(std::chrono::seconds(1)));
    }
}

TEST(FilmPass, AThrowInTheDecodeLoopWakesTheWorkerAndStopsTheScan) {
    FilmRig f(Model::Ls5000);
    f.rig.unit->script_image({.rate = 2'000'000});
    auto windows = f.windows(4000, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), true, 1200);
    ASSERT_TRUE(windows);
    protocol::decode::Samples samples;
    EXPECT_THROW((void)f.s().scan_pass_with(*windows, START, samples, [](const auto&) -> bool { throw std::bad_alloc(); }),
                 std::bad_alloc);
    EXPECT_EQ(abort_sent(f.rig), 1);
    EXPECT_FALSE(f.rig.unit->scanning());
}

TEST(FilmPass, AScanLeftRunningIsStoppedByTheNextCommandAndByClosing) {
    // The unit holds more than the layout reads, and the pass's last READ ends exactly at its end:
    // the pass is whole, and the unit still scanning.
    FilmRig f(Model::Ls5000);
    f.rig.unit->script_image({.surplus = 70000});
    auto windows = f.windows(1000, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), false);
    ASSERT_TRUE(windows);
    protocol::decode::Samples samples;
    auto pass = f.s().scan_pass_with(*windows, START, samples, {});
    ASSERT_TRUE(pass) << error::debug_string(pass.error());
    ASSERT_TRUE(f.rig.unit->scanning());
    // Refused out of sequence: stopped, then sent once more.
    f.rig.mark();
    diag::Capture cap;
    const auto held = f.s().windows();
    ASSERT_TRUE(held) << error::debug_string(held.error());
    std::vector<std::uint8_t> ops;
    for (const auto& c : f.rig.sent()) ops.push_back(c[0]);
    ASSERT_GE(ops.size(), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(ops.begin(), ops.begin() + 4), (std::vector<std::uint8_t>{0x25, 0xC0, 0x00, 0x25}));
    EXPECT_TRUE(std::all_of(ops.begin() + 3, ops.end(), [](std::uint8_t op) { return op == 0x25; }));
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "a scan was still running, so it is stopped and the command sent again"));
    EXPECT_FALSE(f.rig.unit->scanning());

    // Closing stops a scan left running before the unit is released.
    ASSERT_TRUE(f.s().scan_pass_with(*windows, START, samples, {}));
    ASSERT_TRUE(f.rig.unit->scanning());
    f.rig.mark();
    f.rig.session.reset();
    ops.clear();
    for (const auto& c : f.rig.sent()) ops.push_back(c[0]);
    EXPECT_EQ(ops, (std::vector<std::uint8_t>{0xC0, 0x00, 0x17}));
    EXPECT_FALSE(f.rig.unit->scanning());
    EXPECT_FALSE(f.rig.unit->reserved_by());
}

TEST(FilmPass, RefusesReadUnitsAboveTheTransferLimit) {
    Rig rig(Model::Ls5000, Rig::Handlers::Stateful);
    auto s = session::Session::open(std::make_unique<emulator::LocalTransport>(rig.unit, 64), rig.clock);
    ASSERT_TRUE(s) << error::debug_string(s.error());
    const scan::window::Recipe recipe{1000, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), false};
    const auto frame = rig.unit->film().frames.front();
    auto windows = recipe.windows(s->caps, {frame.top, frame.left, frame.top + 400, frame.left + 400});
    ASSERT_TRUE(windows);
    protocol::decode::Samples samples;
    auto pass = s->scan_pass_with(*windows, START, samples, {});
    ASSERT_FALSE(pass);
    const auto* u = pass.error().get_if<error::Error::Unsupported>();
    ASSERT_NE(u, nullptr) << error::debug_string(pass.error());
    EXPECT_EQ(u->op, "image read");
    EXPECT_EQ(rig.unit->image_reads(), 0);
    EXPECT_FALSE(rig.unit->scanning());  // the scan it had started is stopped
}

TEST(FilmPass, ReadsOffWhatTheUnitHoldsBeyondThePass) {
    FilmRig f(Model::Ls9000);
    // A multi-line registration request: the unit may hold more than the layout says.
    std::vector<std::uint8_t> record(15, 0);
    record[0] = 4;
    f.rig.unit->cooperate(session::opcode::SCAN, record);
    f.rig.unit->script_image({.surplus = 70000});
    auto windows = f.windows(1000, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), true);
    ASSERT_TRUE(windows);
    protocol::decode::Samples samples;
    std::uint64_t last = 0;
    diag::Capture cap;
    auto pass = f.s().scan_pass_with(*windows, START, samples, [&](const auto& p) { return last = p.bytes_done, false; });
    ASSERT_TRUE(pass) << error::debug_string(pass.error());
    EXPECT_TRUE(pass->started.layout.read_off);
    EXPECT_EQ(last, f.rig.unit->pass()->total());  // the surplus reaches no report
    EXPECT_FALSE(f.rig.unit->scanning());
    EXPECT_TRUE(cap.contains(diag::Level::Warn, "the unit held more than the layout promised, so the pass is not what it was read as",
                             "vexlor::session::image"));
    EXPECT_EQ(film_mismatch(*f.rig.unit->pass(), samples), std::nullopt);
}

TEST(FilmPass, ThumbnailsOfTheWholeReach) {
    for (const Model model : models()) {
        SCOPED_TRACE(protocol::model::name(model));
        FilmRig f(model);
        protocol::decode::Samples samples;
        auto pass = f.s().scan_thumbnail_with(samples, {});
        ASSERT_TRUE(pass) << error::debug_string(pass.error());
        EXPECT_TRUE(pass->complete);
        const auto rendered = f.rig.unit->pass();
        EXPECT_EQ(film_mismatch(*rendered, samples), std::nullopt);
        // Every window starts at its start-up exposure.
        for (const auto& bytes : f.rig.unit->windows()) {
            const auto w = Window::try_from(bytes);
            if (w && w->kind.contains(sw::kind::THUMBNAIL)) {
                EXPECT_EQ(w->exposure, emulator::white_balance_exposure(w->id));
            }
        }
    }
}

TEST(FilmPass, AWholeFrameAtTheOpticalResolution) {
    FilmRig f(Model::Ls5000);
    const auto frame = f.rig.unit->film().frames.front();
    const scan::window::Recipe recipe{4000, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), true};
    auto windows = recipe.windows(f.s().caps, {frame.top, frame.left, frame.top + frame.length, frame.left + frame.width});
    ASSERT_TRUE(windows);
    protocol::decode::Samples samples;
    auto pass = f.s().scan_pass_with(*windows, START, samples, {});
    ASSERT_TRUE(pass) << error::debug_string(pass.error());
    EXPECT_TRUE(pass->complete);
    EXPECT_EQ(pass->rows, frame.width);
    EXPECT_EQ(pass->cols, frame.length);
    EXPECT_EQ(film_mismatch(*f.rig.unit->pass(), samples, 7), std::nullopt);
}

TEST(FilmPass, OverTheUsbAndSgLinks) {
    struct Case {
        Model model;
        Front front;
        emulator::ImageFaults faults;
        bool complete;
    };
    const Case cases[] = {
        {Model::Ls5000, Front::Usb, {}, true},
        {Model::Ls8000, Front::Sg, {}, true},
        {Model::Ls8000, Front::Sg, {.end_at = 40000, .ili = true}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("{} {}", protocol::model::name(c.model), c.front == Front::Usb ? "USB" : "SG"));
        Bench bench(c.model, c.front);
        bench.unit->script_image(c.faults);
        auto s = bench.open();
        ASSERT_TRUE(s) << error::debug_string(s.error());
        const auto frame = bench.unit->film().frames.front();
        const scan::window::Recipe recipe{1000, 2, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), true};
        auto windows = recipe.windows(s->caps, {frame.top, frame.left, frame.top + 600, frame.left + 800});
        ASSERT_TRUE(windows) << error::debug_string(windows.error());
        protocol::decode::Samples samples;
        auto pass = s->scan_pass_with(*windows, START, samples, {});
        ASSERT_TRUE(pass) << error::debug_string(pass.error());
        EXPECT_EQ(pass->complete, c.complete);
        if (c.complete) {
            EXPECT_EQ(film_mismatch(*bench.unit->pass(), samples), std::nullopt);
        }
        EXPECT_FALSE(bench.unit->scanning());
    }
}

}  // namespace
}  // namespace vexlor::test_support
