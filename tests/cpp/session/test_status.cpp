// The status protocol every session command runs under: waits, unit attentions, cooperation.
#include <algorithm>
#include <numeric>

#include <gtest/gtest.h>

#include "diag/log.hpp"
#include "cpp/refusal.hpp"
#include "cpp/session/rig.hpp"

namespace vexlor::test_support {
namespace {

using namespace std::chrono_literals;
using emulator::Response;
using emulator::Unit;
using session::opcode::TEST_UNIT_READY;
using transport::Data;

constexpr std::array<std::uint8_t, 6> TUR{0, 0, 0, 0, 0, 0};
constexpr std::uint8_t VENDOR_OP = 0xD5;  // a command of the test's own, with no other meaning
constexpr std::array<std::uint8_t, 6> VENDOR{VENDOR_OP, 0, 0, 0, 0, 0};

// A handler answering from a list, then good for ever.
Unit::Handler answers(std::vector<Response> list) {
    auto i = std::make_shared<std::size_t>(0);
    return [list = std::move(list), i](Unit&, auto, auto) { return *i < list.size() ? list[(*i)++] : Response::good(); };
}

std::vector<Response> times(std::size_t n, const Response& r) { return std::vector<Response>(n, r); }

std::size_t count_op(const std::vector<Cdb>& sent, std::uint8_t op) {
    return std::count_if(sent.begin(), sent.end(), [op](const Cdb& c) { return !c.empty() && c[0] == op; });
}

// Standard INQUIRY only: one per capability probe.
std::size_t probes(const std::vector<Cdb>& sent) {
    return std::count_if(sent.begin(), sent.end(), [](const Cdb& c) { return c[0] == 0x12 && c[1] == 0; });
}

const Response ATTENTION = check(6, 0x29, 0);
const Response COOPERATE = check(9, 0x80, 0x01);

// Cooperation READs answer record `n` of the list, records being [9, n] (a kind nobody names).
void serve_cooperation(Unit& unit, std::vector<std::uint8_t> ids) {
    auto next = std::make_shared<std::size_t>(0);
    unit.on(0x28, [ids = std::move(ids), next](Unit&, std::span<const std::uint8_t> cdb, auto) {
        const std::uint8_t id = ids[std::min(*next, ids.size() - 1)];
        const std::array<std::uint8_t, 2> payload{9, id};
        // The header read comes first; the record read takes the next id.
        if (cdb[8] != 6) ++*next;
        return record(0x87, payload, cdb);
    });
}

TEST(StatusProtocol, ZeroTimeoutSendsNothing) {
    Rig rig;
    auto& s = rig.open();
    const auto r = s.run_handshake(TUR, Data::none(), 0s);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), error::Error(transport::Error::timeout(0s)));
    EXPECT_TRUE(rig.sent().empty());
}

TEST(StatusProtocol, NotReadyPausesUntilTheCallersDeadline) {
    Rig rig;
    auto& s = rig.open();
    const Response moving = check(2, 0x04, 0x01, 1), measuring = check(2, 0x04, 0x01, 2);
    std::vector<Response> spell = times(5, moving);
    spell.push_back(measuring);
    auto rest = times(100, moving);
    spell.insert(spell.end(), rest.begin(), rest.end());
    rig.unit->on(TEST_UNIT_READY, answers(spell));
    diag::Capture cap;
    const auto r = s.test_unit_ready(1s);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), error::Error(transport::Error::timeout(1s)));
    EXPECT_EQ(error::to_string(r.error()), "timed out after 1s");
    const auto sleeps = rig.clock.sleeps();
    EXPECT_EQ(sleeps.size(), 10u);
    for (auto d : sleeps) EXPECT_EQ(d, 100ms);
    EXPECT_EQ(rig.sent().size(), 10u);
    // One event per change of activity: moving, measuring, moving again.
    const auto waits = cap.find(diag::Level::Debug, "waiting", "vexlor::session");
    ASSERT_EQ(waits.size(), 3u);
    EXPECT_EQ(*waits[0].value("activity"), "MovingMechanism");
    EXPECT_EQ(*waits[1].value("activity"), "MeasuringCorrection");
}

TEST(StatusProtocol, AdjustedAnswerIsSuccessWithANote) {
    Rig rig;
    auto& s = rig.open();
    rig.unit->on(TEST_UNIT_READY, answers({check(1, 0x37, 0)}));
    diag::Capture cap;
    ASSERT_TRUE(s.test_unit_ready(5s));
    const auto notes = cap.find(diag::Level::Info, "the scanner had a note about that", "vexlor::session");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(*notes[0].value("adjustment"), "ResolutionRounded");
    EXPECT_EQ(*notes[0].value("opcode"), "0");
    EXPECT_EQ(rig.sent().size(), 1u);
}

TEST(StatusProtocol, FifteenAttentionsAreWaitedOutTheSixteenthGivesUp) {
    {
        Rig rig;
        auto& s = rig.open();
        rig.unit->on(TEST_UNIT_READY, answers(times(15, ATTENTION)));
        ASSERT_TRUE(s.test_unit_ready(5s));
        const auto sent = rig.sent();
        EXPECT_EQ(count_op(sent, TEST_UNIT_READY), 16u);
        EXPECT_EQ(probes(sent), 15u);
    }
    {
        Rig rig;
        auto& s = rig.open();
        rig.unit->on(TEST_UNIT_READY, answers(times(16, ATTENTION)));
        diag::Capture cap;
        const auto r = s.test_unit_ready(5s);
        expect_refused(r, "command", "the unit raised 16 unit attentions without running it, last Reset");
        EXPECT_EQ(probes(rig.sent()), 16u);
        const auto warn = cap.find(diag::Level::Warn, "giving up on a device that will not settle");
        ASSERT_EQ(warn.size(), 1u);
        EXPECT_EQ(*warn[0].value("changes"), "16");
        EXPECT_EQ(*warn[0].value("change"), "Reset");
    }
}

TEST(StatusProtocol, AttentionsAreCountedPerExchange) {
    Rig rig;
    auto& s = rig.open();
    auto spell = times(15, ATTENTION);
    spell.push_back(COOPERATE);
    auto more = times(15, ATTENTION);
    spell.insert(spell.end(), more.begin(), more.end());
    rig.unit->on(VENDOR_OP, answers(spell));
    serve_cooperation(*rig.unit, {1});
    const auto r = s.run_handshake(VENDOR, Data::none(), 30s);
    ASSERT_TRUE(r) << error::debug_string(r.error());
    EXPECT_EQ(r->actions.size(), 1u);
}

TEST(StatusProtocol, CooperationRoundsAreBounded) {
    std::vector<std::uint8_t> ids(17);
    std::iota(ids.begin(), ids.end(), std::uint8_t{1});
    {
        Rig rig;
        auto& s = rig.open();
        rig.unit->on(VENDOR_OP, answers(times(16, COOPERATE)));
        serve_cooperation(*rig.unit, ids);
        const auto r = s.run_handshake(VENDOR, Data::none(), 30s);
        ASSERT_TRUE(r) << error::debug_string(r.error());
        ASSERT_EQ(r->actions.size(), 16u);
        EXPECT_EQ(r->actions[15], (protocol::data::CooperativeAction{protocol::data::CooperativeAction::Unknown{9, {9, 16}}}));
    }
    {
        Rig rig;
        auto& s = rig.open();
        rig.unit->on(VENDOR_OP, answers(times(17, COOPERATE)));
        serve_cooperation(*rig.unit, ids);
        const auto r = s.run_handshake(VENDOR, Data::none(), 30s);
        ASSERT_FALSE(r);
        const auto* u = r.error().get_if<error::Error::Unsupported>();
        ASSERT_NE(u, nullptr);
        EXPECT_EQ(u->op, "host cooperation");
        EXPECT_TRUE(u->reason.starts_with("the unit asked for 17 things and was still going: [(Thumbnail, ")) << u->reason;
        EXPECT_EQ(count_op(rig.sent(), VENDOR_OP), 17u);
    }
}

TEST(StatusProtocol, TheSameRequestTwiceIsRefused) {
    Rig rig;
    auto& s = rig.open();
    rig.unit->on(VENDOR_OP, answers(times(3, COOPERATE)));
    serve_cooperation(*rig.unit, {1, 2, 2});
    expect_refused(s.run_handshake(VENDOR, Data::none(), 30s), "host cooperation", "the unit asked for Thumbnail twice over");
}

TEST(StatusProtocol, CooperationRecordFaults) {
    {
        // A unit asking for cooperation it cannot hand over.
        Rig rig;
        auto& s = rig.open();
        s.caps.features.data_types &= ~(std::uint64_t{1} << 20);
        rig.unit->on(VENDOR_OP, answers({COOPERATE}));
        expect_refused(s.run_handshake(VENDOR, Data::none(), 30s), "read data type", "this unit does not offer Cooperation");
        EXPECT_EQ(count_op(rig.sent(), 0x28), 0u);
    }
    {
        Rig rig;
        auto& s = rig.open();
        rig.unit->on(VENDOR_OP, answers({COOPERATE}));
        rig.unit->on(0x28, [](Unit&, std::span<const std::uint8_t> cdb, auto) { return record(0x87, {}, cdb); });
        const auto r = s.run_handshake(VENDOR, Data::none(), 30s);
        ASSERT_FALSE(r);
        EXPECT_EQ(error::to_string(r.error()), "io error: Cooperation was 0 bytes");
    }
}

TEST(StatusProtocol, FailingClassesBecomeTheirErrors) {
    Rig rig;
    auto& s = rig.open();
    struct Case {
        Response answer;
        std::string text;
    };
    const std::vector<Case> cases{
        {Response{.status = 0x18, .data_in = {}}, "another initiator holds the scanner"},
        {check(2, 0x3A, 0, 1), "No film or holder is loaded"},
        {check(4, 0x44, 0), "scanner fault: hardware error (Some(04h-44h-00h-00h raw=[02, 04, 44, 00, 00, 00, 00, 00]))"},
        {check(5, 0x2C, 0), "scanner rejected the command: command sequence error (Some(05h-2Ch-00h-00h raw=[02, 05, 2C, 00, 00, 00, 00, 00]))"},
    };
    for (const auto& c : cases) {
        rig.unit->on(TEST_UNIT_READY, answers({c.answer}));
        const auto r = s.test_unit_ready(5s);
        ASSERT_FALSE(r);
        EXPECT_EQ(error::to_string(r.error()), c.text);
    }
}

TEST(StatusProtocol, TolerateTellsAMissingOpcodeFromOtherRefusals) {
    Rig rig;
    auto& s = rig.open();
    const std::array<std::uint8_t, 6> missing{0xD7, 0, 0, 0, 0, 0};
    EXPECT_EQ(s.tolerate(missing), false);
    rig.unit->on(VENDOR_OP, answers({check(5, 0x24, 0)}));
    const auto r = s.tolerate(VENDOR);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is_refusal(protocol::sense::Refusal::BadCdbField));
}

TEST(StatusProtocol, AbortWaitsForTheUnitOnlyWhenItHasAbort) {
    {
        Rig rig;
        auto& s = rig.open();
        EXPECT_EQ(s.abort(), true);
        EXPECT_EQ(rig.sent(), (std::vector<Cdb>{{0xC0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}}));
    }
    {
        Rig rig;
        rig.unit->on(0xC0, [](Unit&, auto, auto) { return check(5, 0x20, 0); });
        auto& s = rig.open();
        diag::Capture cap;
        EXPECT_EQ(s.abort(), false);
        EXPECT_EQ(rig.sent(), (std::vector<Cdb>{{0xC0, 0, 0, 0, 0, 0}}));
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "this unit has no ABORT"));
        // A failing ABORT is only logged by the best-effort stop.
        rig.unit->on(0xC0, [](Unit&, auto, auto) { return check(4, 0x44, 0); });
        s.abandon_scan();
        EXPECT_TRUE(cap.contains(diag::Level::Warn,
                                 "could not stop the scan, so it is left open - the next command will be refused out of sequence"));
    }
}

// The caller's stops: `first` after so many asks, a second one after `second` more (0: never).
session::Session::Interrupt stops_after(int first, int second = 0) {
    auto asks = std::make_shared<int>(0);
    return [=] {
        const int n = ++*asks;
        return n <= first ? 0u : (second == 0 || n <= first + second) ? 1u : 2u;
    };
}

TEST(StatusProtocol, ACommandTheUnitNeverFinishesIsCutShortByTheCallersStop) {
    struct Case {
        const char* name;
        emulator::Stall how;
    };
    for (const auto& c : {Case{"the data never comes", emulator::Stall::Data}, Case{"busy for ever", emulator::Stall::Busy}}) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.unit->on(VENDOR_OP, answers({}));
        auto& s = rig.open();
        rig.unit->stall(VENDOR_OP, c.how, 1);
        s.set_interrupt(stops_after(3));
        const auto began = std::chrono::steady_clock::now();
        const auto r = s.run(VENDOR, Data::none(), 180s);
        EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), error::Error::cancelled());
        s.set_interrupt({});
        EXPECT_TRUE(s.run(VENDOR, Data::none(), 1s));  // the next command goes through
    }
}

TEST(StatusProtocol, CleanUpIsBoundedAndASecondStopEndsIt) {
    struct Case {
        const char* name;
        int second;  // asks before the second stop; 0: none comes
        std::chrono::seconds within;
    };
    for (const auto& c : {Case{"a second stop", 3, 3s}, Case{"no second stop", 0, 9s}}) {
        SCOPED_TRACE(c.name);
        Rig rig;
        auto& s = rig.open();
        rig.unit->stall(session::opcode::ABORT, emulator::Stall::Data);
        // The first stop is the one that led to the clean-up: it does not cut it short.
        s.set_interrupt(stops_after(0, c.second));
        diag::Capture cap;
        const auto began = std::chrono::steady_clock::now();
        s.abandon_scan();
        EXPECT_LT(std::chrono::steady_clock::now() - began, c.within);
        const auto warned = cap.find(diag::Level::Warn,
                                     "could not stop the scan, so it is left open - the next command will be refused out of sequence");
        ASSERT_EQ(warned.size(), 1u);
        EXPECT_NE(std::find(warned[0].fields.begin(), warned[0].fields.end(), diag::Field{"left", "scanning"}),
                  warned[0].fields.end());
    }
}

TEST(StatusProtocol, ClosingOnAUnitThatStaysNotReadyIsBoundedAndSaysItIsLeftReserved) {
    Rig rig;
    rig.open();
    rig.unit->not_ready({{emulator::activity::OPERATING, 1'000'000}});
    diag::Capture cap;
    rig.session.reset();
    const auto warned = cap.find(diag::Level::Warn, "could not release the scanner");
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_NE(std::find(warned[0].fields.begin(), warned[0].fields.end(), diag::Field{"left", "reserved"}), warned[0].fields.end());
    // Its status protocol waited out the clean-up's bound, no more.
    const auto slept = rig.clock.sleeps();
    EXPECT_LE(std::accumulate(slept.begin(), slept.end(), clock::Duration{}), 6s);
}

}  // namespace
}  // namespace vexlor::test_support
