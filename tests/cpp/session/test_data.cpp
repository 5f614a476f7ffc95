// Record reads and sends, EXECUTE with its completion wait, GET PARAMETER and the CCD curves.
#include <gtest/gtest.h>

#include "cpp/refusal.hpp"
#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "emulator/pages.hpp"

namespace vexlor::test_support {
namespace {

using namespace std::chrono_literals;
using emulator::Response;
using emulator::Unit;
using protocol::data::DataType;
using protocol::model::Model;

// READ answering one record; `short_by` bytes fewer than asked when set.
void serve(Unit& unit, std::uint8_t code, std::vector<std::uint8_t> payload) {
    unit.on(0x28, [code, payload](Unit&, std::span<const std::uint8_t> cdb, auto) { return record(code, payload, cdb); });
}

TEST(RecordRead, HeaderThenWholeRecord) {
    Rig rig;
    auto& s = rig.open();
    serve(*rig.unit, 0x8C, std::vector<std::uint8_t>(12, 7));
    diag::Capture cap;
    const auto r = s.read_record(DataType::WhiteBalanceExposure, 2);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->payload.size(), 4u);  // the rest of the record is not kept
    EXPECT_EQ(r->header.length, 12u);
    EXPECT_EQ(rig.sent(), (std::vector<Cdb>{{0x28, 0, 0x8C, 0, 2, 3, 0, 0, 6, 0x80}, {0x28, 0, 0x8C, 0, 2, 3, 0, 0, 18, 0x80}}));
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "cdb for read 8c [28, 00, 8c, 00, 02, 03, 00, 00, 06, 80]", "vexlor::session::data"));
    EXPECT_TRUE(cap.contains(diag::Level::Debug, "recv [8c, 00, 00, 00, 00, 0c]"));
    serve(*rig.unit, 0x8C, {1, 2});
    EXPECT_EQ(s.read_record(DataType::WhiteBalanceExposure, 1)->payload.size(), 2u);
}

TEST(RecordRead, Refusals) {
    Rig rig;
    auto& s = rig.open();
    rig.mark();
    expect_refused(s.read_record(DataType::Perforation), "read data type", "this unit does not offer Perforation");
    s.caps.features.data_types |= std::uint64_t{1} << 24;
    expect_refused(s.read_record(DataType::AnalogGamma), "read data type", "AnalogGamma has no addressing qualifier");
    EXPECT_TRUE(rig.sent().empty());
    // A header of five bytes, and a header claiming no payload.
    rig.unit->on(0x28, [](Unit&, auto, auto) { return Response::with_data({0x8D, 0, 0, 0, 0}); });
    const auto r = s.read_record(DataType::Setup, 0);
    ASSERT_FALSE(r);
    EXPECT_EQ(error::to_string(r.error()), "io error: Setup header was 5 bytes");
    serve(*rig.unit, 0x8D, {});
    rig.mark();
    ASSERT_TRUE(s.read_record(DataType::Setup, 0));
    EXPECT_EQ(rig.sent().back()[8], 6);
    EXPECT_EQ(error::to_string(s.setup(0).error()), "io error: Setup was 0 bytes");
}

TEST(RecordSend, FrameTables) {
    Rig rig(Model::Ls5000);
    auto& s = rig.open();
    rig.unit->on(0x2A, Unit::Command{[](Unit&, auto, auto) { return Response::good(); },
                                     [](auto cdb) { return std::size_t{cdb[6]} << 16 | std::size_t{cdb[7]} << 8 | cdb[8]; }});
    rig.mark();
    // An empty table fails before anything is sent, and the session's table stays as it was.
    ASSERT_FALSE(s.set_boundaries({}));
    EXPECT_TRUE(rig.sent().empty());
    EXPECT_FALSE(s.frame_table);
    const protocol::data::Boundary table{{{100, 0, 5000, 3900}}};
    ASSERT_TRUE(s.set_boundaries(table));
    ASSERT_TRUE(s.frame_table);
    EXPECT_EQ(*s.frame_table, (protocol::data::FrameTable{protocol::data::FrameTable::Rects{table}}));
    const auto cdb = rig.sent().back();
    EXPECT_EQ(Cdb(cdb.begin(), cdb.begin() + 6), (Cdb{0x2A, 0, 0x88, 0, 0, 3}));
    rig.unit->on(0x2A, [](Unit&, auto, auto) { return check(5, 0x24, 0); });
    const auto bytes = table.to_bytes();
    expect_refused(s.set_boundaries(table), "frame table",
                   fmt::format("this unit would not take a 1-frame table of {} bytes", bytes->size()));
    expect_refused(s.set_boundaries_type2({{{100, 2, 3, 0}}}), "send data type", "this unit does not offer Boundary2");
}

TEST(Execute, CompletionWaitAndWhatTheDiagnosticSays) {
    struct Case {
        Response diagnostic;
        std::string text;
    };
    const std::vector<Case> cases{
        {check(1, 0x61, 0x02), "scanner fault: autofocus did not reach focus (Some(01h-61h-02h-00h raw=[02, 01, 61, 02, 00, 00, 00, 00]))"},
        {check(4, 0x40, 0x00), "scanner fault: mechanical error (Some(04h-40h-00h-00h raw=[02, 04, 40, 00, 00, 00, 00, 00]))"},
        {Response::good(), "scanner fault: mechanical error (Some(02h-04h-02h-00h raw=[02, 02, 04, 02, 00, 00, 00, 00]))"},
    };
    for (const auto& c : cases) {
        Rig rig(Model::Ls50);
        auto& s = rig.open();
        std::vector<std::uint8_t> block;
        rig.unit->on(0xE0, Unit::Command{[&block](Unit&, auto, std::span<const std::uint8_t> out) {
                                             block.assign(out.begin(), out.end());
                                             return Response::good();
                                         },
                                         [](auto) { return std::size_t{9}; }});
        rig.unit->on(0xC1, [](Unit&, auto, auto) { return Response::good(); });
        rig.unit->on(0x00, [](Unit&, auto, auto) { return check(2, 0x04, 0x02); });
        rig.unit->on(0x1D, [d = c.diagnostic](Unit&, auto, auto) { return d; });
        diag::Capture cap;
        const auto r = s.autofocus(100, 3000, std::nullopt);
        ASSERT_FALSE(r);
        EXPECT_EQ(error::to_string(r.error()), c.text);
        EXPECT_EQ(block, (std::vector<std::uint8_t>{0, 0, 0, 0, 0x64, 0, 0, 0x0B, 0xB8}));
        EXPECT_EQ(rig.sent(), (std::vector<Cdb>{{0xE0, 0, 0xA0, 0, 0, 0, 0, 0, 9, 0}, {0xC1, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0},
                                                {0x1D, 0x04, 0, 0, 0, 0}}));
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "executing", "vexlor::session::data"));
    }
}

TEST(GetParameter, ShortReplyAndSaturatedPosition) {
    Rig rig(Model::Ls50);
    auto& s = rig.open();
    rig.unit->on(0xE1, [](Unit&, auto, auto) { return Response::with_data({0, 0, 0x01, 0x11, 0x70, 0, 0, 0, 0}); });
    EXPECT_EQ(s.focus_position(), 65535);  // 70000 reported
    rig.unit->on(0xE1, [](Unit&, auto, auto) { return Response::with_data({0, 0, 0, 1, 0, 0, 0, 0}); });
    const auto r = s.focus_position();
    ASSERT_FALSE(r);
    EXPECT_EQ(error::to_string(r.error()), "io error: FocusMove was 8 bytes");
}

TEST(Curves, ReadAtOpenOrLeftOut) {
    {
        Rig rig(Model::Ls4000);
        const auto words = *emulator::ccd_record(Model::Ls4000);
        std::vector<std::uint8_t> payload;
        for (auto w : words) payload.insert(payload.end(), {static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w)});
        payload.push_back(0xAB);  // an odd last byte is ignored
        serve(*rig.unit, 0x91, payload);
        auto& s = rig.open();
        EXPECT_TRUE(s.curves);
    }
    {
        Rig rig(Model::Ls4000);
        serve(*rig.unit, 0x91, {0, 1, 0, 2, 0});
        diag::Capture cap;
        auto& s = rig.open();
        EXPECT_FALSE(s.curves);
        const auto w = cap.find(diag::Level::Warn, "the CCD curves do not match the page describing them, scanning uncorrected");
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(*w[0].value("got"), "2");
        EXPECT_EQ(*w[0].value("curves"), "6");
    }
    {
        Rig rig(Model::Ls4000);
        rig.unit->on(0x28, [](Unit&, auto, auto) { return check(4, 0x44, 0); });
        diag::Capture cap;
        auto& s = rig.open();
        EXPECT_FALSE(s.curves);
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "no CCD curves to correct with"));
    }
}

}  // namespace
}  // namespace vexlor::test_support
