// Opening and closing a session, and the media operations, over a scripted unit.
#include <algorithm>

#include <gtest/gtest.h>

#include "cpp/refusal.hpp"
#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "emulator/pages.hpp"
#include "session/probe.hpp"

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
    Rig rig(Model::Ls50);
    auto& s = rig.open();
    rig.unit->on(0xE0, Unit::Command{[](Unit&, auto, auto) { return Response::good(); }, [](auto) { return std::size_t{9}; }});
    rig.unit->on(0xC1, [](Unit&, auto, auto) { return Response::good(); });
    // The completion wait: nothing waiting in the adapter, nothing to give back.
    rig.unit->on(0x00, [](Unit&, auto, auto) { return check(2, 0x3A, 0, 0); });
    diag::Capture cap;
    EXPECT_EQ(s.load(), false);
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "the adapter has nothing left to take in"));
    rig.unit->on(0x00, [](Unit&, auto, auto) { return check(2, 0x3A, 0, 1); });
    EXPECT_EQ(s.eject(), true);
    EXPECT_EQ(s.media_loaded(), false);
    s.caps.features.execute_ops = {};
    EXPECT_EQ(s.load(), false);
    EXPECT_EQ(s.eject(), false);
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "this unit has no LOAD"));
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "this unit has no UNLOAD"));

    // A unit that publishes its frame table is asked for the page, not for readiness.
    Rig published(Model::Ls8000);
    auto& p = published.open();
    vpd_override(*published.unit, 0xC8, [](Unit&, auto, auto) {
        return Response::with_data({0x06, 0xC8, 0x00, 0x01, 0x00});
    });
    published.mark();
    EXPECT_EQ(p.media_loaded(), false);
    EXPECT_EQ(published.sent(), (std::vector<Cdb>{{0x12, 1, 0xC8, 0, 0xFF, 0x80}}));
    ASSERT_TRUE(p.caps.frames);
    EXPECT_TRUE(p.caps.frames->frames.empty());
}

}  // namespace
}  // namespace vexlor::test_support
