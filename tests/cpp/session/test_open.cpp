// Opening and closing a session, and the media operations, over a scripted unit.
#include <algorithm>

#include <gtest/gtest.h>

#include "cpp/refusal.hpp"
#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "emulator/pages.hpp"
#include "emulator/testbed.hpp"
#include "session/probe.hpp"
#include "transport/linux.hpp"
#include "transport/usb.hpp"

namespace vexlor::test_support {
namespace {

using namespace std::chrono_literals;
using emulator::Response;
using emulator::Unit;
using protocol::model::Model;

const Cdb TUR{0, 0, 0, 0, 0, 0};
const Cdb ABORT{0xC0, 0, 0, 0, 0, 0};
const Cdb RESERVE{0x16, 0, 0, 0, 0, 0};
const Cdb RELEASE{0x17, 0, 0, 0, 0, 0};
const Cdb GET_WINDOW_HEADER{0x25, 0, 0, 0, 0, 0, 0, 0, 8, 0x80};
const Cdb MODE_SELECT{0x15, 0x10, 0, 0, 0x0C, 0};

// The commands after the probe's INQUIRYs.
std::vector<Cdb> after_probe(const std::vector<Cdb>& all) {
    auto it = std::find_if(all.begin(), all.end(), [](const Cdb& c) { return c[0] != 0x12; });
    return {it, all.end()};
}

Unit::Handler once_then_good(Response first) {
    auto used = std::make_shared<bool>(false);
    return [first, used](Unit&, auto, auto) {
        if (*used) return Response::good();
        *used = true;
        return first;
    };
}

TEST(SessionOpen, SequenceOfAUnitWithMediumLoaded) {
    Rig rig(Model::Ls50);
    std::vector<std::uint8_t> list;
    rig.unit->on(0x15, Unit::Command{[&list](Unit&, auto, std::span<const std::uint8_t> out) {
                                         list.assign(out.begin(), out.end());
                                         return Response::good();
                                     },
                                     [](auto cdb) { return std::size_t{cdb[4]}; }});
    diag::Capture cap;
    auto r = rig.try_open();
    ASSERT_TRUE(r) << error::debug_string(r.error());
    EXPECT_TRUE(r->reserved);
    EXPECT_EQ(r->units, 4000);
    EXPECT_FALSE(r->curves);  // no CCD page on this model
    EXPECT_EQ(list, (std::vector<std::uint8_t>{0, 0, 0, 0, 0x03, 0x06, 0, 0, 0x0F, 0xA0, 0, 0}));
    const Cdb get_all{0x25, 0, 0, 0, 0, 0, 0, 0, 8, 0x80};  // the header says 6 more bytes: 8 in all
    const Cdb get_parameter{0xE1, 0, 0xC1, 0, 0, 0, 0, 0, 9, 0};
    EXPECT_EQ(after_probe(rig.unit->received()),
              (std::vector<Cdb>{TUR, GET_WINDOW_HEADER, get_all, RESERVE, MODE_SELECT, TUR, GET_WINDOW_HEADER, get_all, get_parameter}));
    r = std::unexpected(error::Error::not_found());  // closes
    EXPECT_EQ(rig.unit->received().back(), RELEASE);
}

TEST(SessionOpen, NothingLoadedLeavesTheMechanismAlone) {
    Rig rig(Model::Ls50);
    rig.unit->on(0x00, [](Unit&, auto, auto) { return check(2, 0x3A, 0, 1); });
    diag::Capture cap;
    auto r = rig.try_open();
    ASSERT_TRUE(r) << error::debug_string(r.error());
    EXPECT_EQ(cap.find(diag::Level::Debug, "nothing is loaded").size(), 1u);
    EXPECT_EQ(cap.find(diag::Level::Debug, "nothing is loaded, so the mechanism is left alone").size(), 1u);
    const auto sent = rig.unit->received();
    // Only the stale-scan check reads the windows (header, then the empty list): no staging.
    EXPECT_EQ(std::count(sent.begin(), sent.end(), GET_WINDOW_HEADER), 2);
}

TEST(SessionOpen, StaleScanIsStopped) {
    for (const bool has_abort : {true, false}) {
        Rig rig(Model::Ls50);
        rig.unit->on(0x00, once_then_good(check(5, 0x2C, 0)));
        if (!has_abort) rig.unit->on(0xC0, [](Unit&, auto, auto) { return check(5, 0x20, 0); });
        diag::Capture cap;
        ASSERT_TRUE(rig.try_open());
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "a scan was still valid from the last process, stopping it"));
        const auto sent = after_probe(rig.unit->received());
        const std::vector<Cdb> expected = has_abort ? std::vector<Cdb>{TUR, ABORT, TUR, TUR, GET_WINDOW_HEADER}
                                                    : std::vector<Cdb>{TUR, ABORT, TUR, GET_WINDOW_HEADER};
        EXPECT_EQ(std::vector<Cdb>(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
    }
    // GET WINDOW refused out of sequence: ABORT, then on with the reservation.
    Rig rig(Model::Ls50);
    rig.unit->on(0x25, once_then_good(check(5, 0x2C, 0)));
    const auto list = window_list({});
    rig.unit->on(0x25, [first = std::make_shared<bool>(true), list](Unit& u, auto cdb, auto out) {
        if (*first) {
            *first = false;
            return check(5, 0x2C, 0);
        }
        return list(u, cdb, out);
    });
    diag::Capture cap;
    ASSERT_TRUE(rig.try_open());
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "a scan was still valid from earlier, stopping it"));
    const auto sent = after_probe(rig.unit->received());
    EXPECT_EQ(std::vector<Cdb>(sent.begin(), sent.begin() + 5), (std::vector<Cdb>{TUR, GET_WINDOW_HEADER, ABORT, TUR, RESERVE}));
}

TEST(SessionOpen, AUnitWithoutReserveIsNeverReleased) {
    Rig rig(Model::Ls50);
    rig.unit->on(0x16, [](Unit&, auto, auto) { return check(5, 0x20, 0); });
    diag::Capture cap;
    {
        auto r = rig.try_open();
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->reserved);
    }
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "this unit has no RESERVE UNIT"));
    const auto sent = rig.unit->received();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), RELEASE), 0);
}

TEST(SessionOpen, FailureAfterReservingReleasesTheUnit) {
    Rig rig(Model::Ls50);
    rig.unit->on(0x15, [](Unit&, auto, auto) { return check(5, 0x26, 0); });
    const auto r = rig.try_open();
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is_refusal(protocol::sense::Refusal::BadParamField));
    EXPECT_EQ(rig.unit->received().back(), RELEASE);
}

TEST(SessionOpen, ReserveLostOnTheLinkIsGivenBack) {
    Rig rig(Model::Ls50);
    const auto r = rig.try_open([](std::span<const std::uint8_t> cdb) -> std::optional<transport::Error> {
        if (cdb[0] == 0x16) return transport::Error::timeout(30s);
        return std::nullopt;
    });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), error::Error(transport::Error::timeout(30s)));
    // The unit never saw the RESERVE the link lost, but it is told to release all the same.
    EXPECT_EQ(rig.unit->received().back(), RELEASE);
}

TEST(SessionOpen, ProbeFailures) {
    struct Case {
        std::function<void(Unit&)> setup;
        std::string text;
    };
    const std::vector<Case> cases{
        {[](Unit& u) { u.set_qualifier(1); }, "no such scanner"},
        {[](Unit& u) { u.set_device_type(3); }, "no such scanner"},
        {[](Unit& u) { u.set_inquiry(Unit::Inquiry::Short); }, "page 00h truncated: need 36 bytes, got 35"},
    };
    for (const auto& c : cases) {
        Rig rig(Model::Ls50);
        c.setup(*rig.unit);
        const auto r = rig.try_open();
        ASSERT_FALSE(r);
        EXPECT_EQ(error::to_string(r.error()), c.text);
        EXPECT_EQ(rig.unit->received().size(), 1u);
    }
}

// A unit answering INQUIRY with `vpd` for the given pages and the model's own for the rest.
void vpd_override(Unit& unit, std::uint8_t page, Unit::Handler answer) {
    unit.on(0x12, [page, answer](Unit& u, std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out) {
        if ((cdb[1] & 1) && cdb[2] == page) return answer(u, cdb, out);
        auto d = std::vector<std::uint8_t>{};
        if (cdb[1] & 1) {
            auto p = emulator::vpd_page(u.model(), cdb[2]);
            if (!p) return check(5, 0x24, 0);
            d = *p;
        } else {
            d.assign(36, 0x20);
            d[0] = 6;
            const std::string prod = emulator::product_text(u.model());
            std::copy(prod.begin(), prod.end(), d.begin() + 16);
        }
        if (d.size() > cdb[4]) d.resize(cdb[4]);
        return Response::with_data(d);
    });
}

TEST(SessionProbe, PagesAndTheirFaults) {
    {
        // E3 refused for an invalid field: no curves page; a hardware error fails the probe.
        Rig rig(Model::Ls4000);
        vpd_override(*rig.unit, 0xE3, [](Unit&, auto, auto) { return check(5, 0x24, 0); });
        emulator::LocalTransport t(rig.unit);
        diag::Capture cap;
        const auto caps = session::probe::capabilities(t);
        ASSERT_TRUE(caps) << error::debug_string(caps.error());
        EXPECT_FALSE(caps->ccd);
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "this unit has no CCD measurement page", "vexlor::session::probe"));
        vpd_override(*rig.unit, 0xE3, [](Unit&, auto, auto) { return check(4, 0x44, 0); });
        EXPECT_FALSE(session::probe::capabilities(t));
    }
    struct Case {
        std::uint8_t page;
        std::vector<std::uint8_t> reply;
        std::string text;
    };
    const std::vector<Case> cases{
        {0xC1, {0x06, 0xC8, 0x00, 0x00, 0x00}, "page C1h byte 1: page code = 0xc8"},
        {0xE1, {0x06, 0xE1, 0x00}, "page E1h truncated: need 4 bytes, got 3"},
    };
    for (const auto& c : cases) {
        Rig rig(Model::Ls50);
        vpd_override(*rig.unit, c.page, [reply = c.reply](Unit&, auto, auto) { return Response::with_data(reply); });
        emulator::LocalTransport t(rig.unit);
        const auto r = session::probe::capabilities(t);
        ASSERT_FALSE(r);
        EXPECT_EQ(error::to_string(r.error()), c.text);
    }
}

TEST(SessionProbe, FrameTablePageOnlyWherePublished) {
    for (const Model m : {Model::Ls50, Model::Ls8000}) {
        Rig rig(m);
        emulator::LocalTransport t(rig.unit);
        diag::Capture cap;
        const auto caps = session::probe::capabilities(t);
        ASSERT_TRUE(caps);
        const auto sent = rig.unit->received();
        const bool asked = std::count(sent.begin(), sent.end(), Cdb{0x12, 1, 0xC8, 0, 0xFF, 0x80}) == 1;
        EXPECT_EQ(asked, m == Model::Ls8000);
        EXPECT_EQ(caps->frames.has_value(), m == Model::Ls8000);
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "features", "vexlor::session::probe"));
    }
    // An adjusted INQUIRY counts as answered.
    Rig rig(Model::Ls50);
    vpd_override(*rig.unit, 0xD1, [](Unit& u, auto, auto) {
        auto r = Response::with_data(*emulator::vpd_page(u.model(), 0xD1));
        r.key = 1;
        r.asc = 0x37;
        return r;
    });
    emulator::LocalTransport t(rig.unit);
    EXPECT_TRUE(session::probe::capabilities(t));
}

TEST(Media, LoadEjectAndThePublishedTable) {
    Rig rig(Model::Ls50, Rig::Handlers::Stateful);
    auto& s = rig.open();
    diag::Capture cap;
    // Nothing waiting in the adapter; then nothing left to give back.
    EXPECT_EQ(s.load(), false);
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "the adapter has nothing left to take in"));
    EXPECT_EQ(s.eject(), true);
    EXPECT_EQ(s.eject(), true);
    EXPECT_EQ(s.media_loaded(), false);
    s.caps.features.execute_ops = {};
    rig.mark();
    EXPECT_EQ(s.load(), false);
    EXPECT_EQ(s.eject(), false);
    EXPECT_TRUE(rig.sent().empty());
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "this unit has no LOAD"));
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "this unit has no UNLOAD"));

    // A unit that publishes its frame table is asked for the page, not for readiness.
    Rig published(Model::Ls8000, Rig::Handlers::Stateful);
    auto& p = published.open();
    published.unit->set_loaded(false);
    published.mark();
    EXPECT_EQ(p.media_loaded(), false);
    EXPECT_EQ(published.sent(), (std::vector<Cdb>{{0x12, 1, 0xC8, 0, 0xFF, 0x80}}));
    ASSERT_TRUE(p.caps.frames);
    EXPECT_TRUE(p.caps.frames->frames.empty());
}

// ---- against the stateful unit ----

namespace stateful {

using emulator::ModelValues;

const std::vector<Model> MODELS{Model::Ls40, Model::Ls50, Model::Ls4000, Model::Ls5000, Model::Ls8000, Model::Ls9000};

Cdb vpd(std::uint8_t page) { return {0x12, 1, page, 0, 0xFF, 0x80}; }
Cdb ten(std::uint8_t op, std::uint8_t b2, std::uint8_t b4, std::uint8_t b5, std::uint32_t n, std::uint8_t control) {
    return {op, 0, b2, 0, b4, b5, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n),
            control};
}
const Cdb INQUIRY{0x12, 0, 0, 0, 0x24, 0};
const Cdb GET_PARAMETER_FOCUS{0xE1, 0, 0xC1, 0, 0, 0, 0, 0, 9, 0};
const Cdb EXECUTE_FOCUS{0xE0, 0, 0xC1, 0, 0, 0, 0, 0, 9, 0};
const Cdb TRIGGER{0xC1, 0, 0, 0, 0, 0};

bool publishes(const ModelValues& v) { return v.frames.has_value(); }

std::vector<Cdb> probe(const ModelValues& v) {
    std::vector<Cdb> s{INQUIRY, vpd(0xC1)};
    if (publishes(v)) s.push_back(vpd(0xC8));
    for (const std::uint8_t p : {0xE1, 0xD1, 0xE3}) s.push_back(vpd(p));
    return s;
}

// Both reads of the windows a unit holds.
std::vector<Cdb> windows(const ModelValues& v) {
    const auto held = static_cast<std::uint32_t>(emulator::power_on_windows(v).size());
    return {GET_WINDOW_HEADER, ten(0x25, 0, 0, 0, 8 + 50 * held, 0x80)};
}

// What opening sends to a unit as it powers on, loaded or not.
std::vector<Cdb> open_sequence(const ModelValues& v, bool loaded) {
    std::vector<Cdb> s = probe(v);
    s.push_back(TUR);
    for (auto& c : windows(v)) s.push_back(c);
    s.push_back(RESERVE);
    s.push_back(MODE_SELECT);
    if (v.ccd) {
        const auto bytes = static_cast<std::uint32_t>(emulator::ccd_record(v)->size() * 2);
        s.push_back(ten(0x28, 0x91, 0, 0x01, 6, 0x80));
        s.push_back(ten(0x28, 0x91, 0, 0x01, 6 + bytes, 0x80));
    }
    s.push_back(publishes(v) ? vpd(0xC8) : TUR);
    if (!loaded) return s;
    for (auto& c : windows(v)) s.push_back(c);
    // The lens goes back to where it is: the move takes two polls of the unit.
    for (const auto& c : {GET_PARAMETER_FOCUS, EXECUTE_FOCUS, TRIGGER, TUR, TUR, TUR}) s.push_back(c);
    return s;
}

struct OpenCase {
    Model model;
    Front front;
};

class StatefulOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(StatefulOpen, SendsTheWholeSequenceAndReleasesOnClose) {
    const auto [model, front] = GetParam();
    for (const bool loaded : {true, false}) {
        Bench bench(model, front);
        bench.unit->set_loaded(loaded);
        const ModelValues v = bench.unit->values();
        {
            auto s = bench.open();
            ASSERT_TRUE(s) << error::debug_string(s.error());
            EXPECT_EQ(bench.unit->received(), open_sequence(v, loaded)) << "loaded " << loaded;
            EXPECT_TRUE(s->reserved);
            EXPECT_TRUE(bench.unit->reserved_by());
            EXPECT_EQ(s->units, v.address.x.max_dpi);
            EXPECT_EQ(bench.unit->divisor(), v.address.x.max_dpi);
            EXPECT_EQ(static_cast<bool>(s->curves), v.ccd.has_value());
            // The MODE SELECT list and the lens move carry the divisor and the lens position.
            const auto log = bench.unit->log();
            const auto mode_select = std::find_if(log.begin(), log.end(), [](const auto& l) { return l.cdb == MODE_SELECT; });
            ASSERT_NE(mode_select, log.end());
            const auto d = v.address.x.max_dpi;
            EXPECT_EQ(mode_select->out, (std::vector<std::uint8_t>{0, 0, 0, 0, 0x03, 0x06, 0, 0, static_cast<std::uint8_t>(d >> 8),
                                                                   static_cast<std::uint8_t>(d), 0, 0}));
            if (loaded) {
                const auto move = std::find_if(log.begin(), log.end(), [](const auto& l) { return l.cdb == EXECUTE_FOCUS; });
                ASSERT_NE(move, log.end());
                const auto at = emulator::power_on_focus(v);
                EXPECT_EQ(move->out, (std::vector<std::uint8_t>{0, static_cast<std::uint8_t>(at >> 24), static_cast<std::uint8_t>(at >> 16),
                                                                static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at), 0, 0, 0, 0}));
            }
        }
        EXPECT_EQ(bench.unit->received().back(), RELEASE);
        EXPECT_FALSE(bench.unit->reserved_by());
    }
}

std::vector<OpenCase> open_cases() {
    std::vector<OpenCase> out;
    for (const Front f : {Front::Local, Front::Usb, Front::Sg}) {
        for (const Model m : MODELS) out.push_back({m, f});
    }
    return out;
}

std::string case_name(const ::testing::TestParamInfo<OpenCase>& info) {
    static constexpr std::array<const char*, 3> fronts{"Local", "Usb", "Sg"};
    std::string name = std::string(protocol::model::name(info.param.model)) + fronts[static_cast<std::size_t>(info.param.front)];
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name;
}

INSTANTIATE_TEST_SUITE_P(ModelsAndFronts, StatefulOpen, ::testing::ValuesIn(open_cases()), case_name);

// Whichever step of opening fails, the unit is left unreserved and the transport closed.
TEST(StatefulOpenFailure, EveryStepLeavesNothingBehind) {
    struct Case {
        const char* step;
        std::uint8_t opcode;
        int nth;
        Model model;
    };
    const Response hardware = check(4, 0x44, 0);
    const std::vector<Case> cases{
        {"probe", 0x12, 3, Model::Ls50},          {"ready", 0x00, 1, Model::Ls50},
        {"stale scan check", 0x25, 1, Model::Ls50}, {"reserve", 0x16, 1, Model::Ls50},
        {"measurement units", 0x15, 1, Model::Ls50}, {"media check", 0x00, 2, Model::Ls50},
        {"published frames", 0x12, 7, Model::Ls8000}, {"staging", 0x25, 3, Model::Ls50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        Rig rig(c.model, Rig::Handlers::Stateful);
        rig.unit->on(c.opcode, on_nth(c.nth, hardware));
        const auto r = rig.try_open();
        ASSERT_FALSE(r);
        EXPECT_TRUE(r.error().is_failure<protocol::sense::Failure::Hardware>()) << error::debug_string(r.error());
        EXPECT_FALSE(rig.unit->reserved_by());
        EXPECT_TRUE(*rig.closed);
        const auto sent = rig.unit->received();
        // Released exactly when the reservation was taken.
        const bool took = std::count(sent.begin(), sent.end(), RESERVE) == 1 && c.opcode != 0x16;
        EXPECT_EQ(std::count(sent.begin(), sent.end(), RELEASE), took ? 1 : 0);
    }
    // A failure of the lens staging is not a failure of the open.
    Rig rig(Model::Ls50, Rig::Handlers::Stateful);
    rig.unit->on(0xE1, [](Unit&, auto, auto) { return check(4, 0x44, 0); });
    EXPECT_TRUE(rig.try_open());
}

TEST(StatefulOpenFailure, ASecondSessionFindsTheUnitReserved) {
    Rig rig(Model::Ls5000, Rig::Handlers::Stateful);
    auto first = rig.try_open();
    ASSERT_TRUE(first);
    const auto holder = rig.unit->reserved_by();
    auto second = rig.try_open();
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error(), error::Error(error::Error::Busy{protocol::sense::Contention::Reserved}));
    EXPECT_EQ(rig.unit->reserved_by(), holder);  // the loser's drop released nothing of the holder's
    first = std::unexpected(error::Error::not_found());
    EXPECT_FALSE(rig.unit->reserved_by());
    EXPECT_TRUE(rig.try_open());
}

TEST(StatefulOpen, AScanLeftOpenIsAborted) {
    Rig rig(Model::Ls4000, Rig::Handlers::Stateful);
    rig.unit->set_scanning(true);
    diag::Capture cap;
    ASSERT_TRUE(rig.try_open());
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "a scan was still valid from earlier, stopping it"));
    EXPECT_FALSE(rig.unit->scanning());
    const auto sent = after_probe(rig.unit->received());
    EXPECT_EQ(std::vector<Cdb>(sent.begin(), sent.begin() + 5), (std::vector<Cdb>{TUR, GET_WINDOW_HEADER, ABORT, TUR, RESERVE}));
}

TEST(StatefulMedia, LoadEjectAndFocusFollowTheUnit) {
    for (const Model m : MODELS) {
        SCOPED_TRACE(protocol::model::name(m));
        Rig rig(m, Rig::Handlers::Stateful);
        auto& s = rig.open();
        const ModelValues v = rig.unit->values();
        EXPECT_EQ(s.media_loaded(), true);
        EXPECT_EQ(s.eject(), true);
        EXPECT_FALSE(rig.unit->loaded());
        EXPECT_EQ(s.media_loaded(), false);
        EXPECT_EQ(s.eject(), true);  // nothing left to give back counts as done
        EXPECT_EQ(s.load(), false);  // nothing waiting
        rig.unit->set_waiting(true);
        EXPECT_EQ(s.load(), true);
        EXPECT_TRUE(rig.unit->loaded());
        EXPECT_EQ(s.media_loaded(), true);
        ASSERT_TRUE(s.focus_to(v.address.focus_max));
        EXPECT_EQ(s.focus_position(), v.address.focus_max);
        ASSERT_TRUE(s.autofocus(v.address.x.origin_max, v.address.y.origin_max, std::nullopt));
        EXPECT_EQ(s.focus_position(), emulator::found_focus(v));
        rig.unit->set_focus_found(false);
        const auto missed = s.autofocus(v.address.x.origin_min, v.address.y.origin_min, std::nullopt);
        ASSERT_FALSE(missed);
        EXPECT_TRUE(missed.error().is_failure<protocol::sense::Failure::OutOfFocus>());
    }
}

// The records the unit hands over parse as the values documented beside them.
TEST(StatefulRecords, ReadBackAsTheUnitMeantThem) {
    Rig rig(Model::Ls8000, Rig::Handlers::Stateful);
    auto& s = rig.open();
    const auto setup = s.setup(2);
    ASSERT_TRUE(setup) << error::debug_string(setup.error());
    EXPECT_EQ(setup->base_level, 4095);
    ASSERT_EQ(setup->images.size(), 1u);
    EXPECT_EQ(setup->images[0].byte0, 2);
    // Perforation readings come one a line with a thumbnail pass; there has been none.
    const auto perforations = s.read_perforations();
    ASSERT_TRUE(perforations) << error::debug_string(perforations.error());
    EXPECT_TRUE(perforations->empty());
    EXPECT_EQ(s.white_balance(3), 40000u);
    const auto positions = s.boundaries_type2();
    ASSERT_TRUE(positions) << error::debug_string(positions.error());
    EXPECT_EQ(positions->positions.size(), 3u);
    // A table the host sends is the one it reads back, and the one the unit keeps.
    const protocol::data::BoundaryType2 sent{{{5000, 40, 1, 2}}};
    ASSERT_TRUE(s.set_boundaries_type2(sent));
    EXPECT_EQ(s.read_boundaries_type2(), sent);
    ASSERT_TRUE(rig.unit->table(0x8F));
    EXPECT_EQ(rig.unit->table(0x8F)->size(), 12u);
}

TEST(StatefulStatus, AUnitThatNeverSettlesTimesOutAtTheDeadline) {
    Rig rig(Model::Ls50, Rig::Handlers::Stateful);
    auto& s = rig.open();
    rig.unit->not_ready({{emulator::activity::MOVING, 1'000'000}});
    diag::Capture cap;
    const auto before = rig.clock.sleeps().size();
    const auto r = s.media_loaded();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), error::Error(transport::Error::timeout(180s)));
    EXPECT_EQ(cap.find(diag::Level::Debug, "waiting").size(), 1u);
    // A pause of 100 ms after each answer, until 180 s of them are used up.
    const auto sleeps = rig.clock.sleeps();
    EXPECT_EQ(sleeps.size() - before, 1800u);
    EXPECT_EQ(rig.sent().size(), 1800u);
}

}  // namespace stateful

}  // namespace
}  // namespace vexlor::test_support
