// Frame discovery's choice of mechanism, its fixed-pitch and published frames, and registration.
#include <gtest/gtest.h>

#include "cpp/refusal.hpp"
#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "scan/frame.hpp"
#include "scan/framing.hpp"

namespace vexlor::scan::framing {
namespace {

using protocol::caps::film::FilmFormat;
using protocol::data::Rect;
namespace sw = protocol::caps::set_window;

constexpr std::uint8_t PERFORATION = 0x8E;

protocol::caps::Capabilities unit(std::uint8_t framing_flags, bool perforations) {
    protocol::caps::Capabilities c;
    c.address.framing_flags = framing_flags;
    c.address.x = {100, 100, 150, 4000, 3900, 4000};
    c.address.y = {0, 35999, 150, 4000, 6000, 4000};
    c.address.thumbnail_dpi_min = 500;
    c.set_window.kinds = sw::kind::IMAGE | sw::kind::THUMBNAIL;
    // Every data type read and sent, or every one but Perforation.
    c.features.data_types = 0x7F7F7F3F3F;
    for (std::uint8_t bit = 0; bit < 64 && !perforations && c.features.supports_read(PERFORATION); ++bit) {
        c.features.data_types &= ~(std::uint64_t{1} << bit);
        if (c.features.supports_read(PERFORATION)) c.features.data_types |= std::uint64_t{1} << bit;
    }
    return c;
}

TEST(Framing, Choice) {
    struct Case {
        std::uint8_t flags;
        bool perforations;
        std::vector<bool> published;  // presence of each published entry
        bool thumbnails;
        Framing chosen;
    };
    const std::vector<Case> cases = {
        {0x00, true, {}, true, Framing::Perforation},
        {0x00, false, {true, true, true}, true, Framing::Address},
        {0x40, false, {true, true, true}, true, Framing::Published},
        {0x40, false, {true, false, true}, true, Framing::Thumbnail},
        {0x40, false, {true, false, true}, false, Framing::Address},
        {0x40, true, {}, true, Framing::Thumbnail},
    };
    for (const auto& c : cases) {
        auto caps = unit(c.flags, c.perforations);
        if (!c.published.empty()) {
            caps.frames.emplace();
            for (bool p : c.published) caps.frames->frames.push_back({p, p ? 5000u : 0u, 100, 0, 3000});
        }
        if (!c.thumbnails) caps.address.thumbnail_dpi_min = 0;
        EXPECT_EQ(choose(caps), c.chosen) << to_string(c.chosen);
    }
    EXPECT_EQ(python_name(Framing::Perforation), "perforation");
}

TEST(Framing, Lengths) {
    const auto caps = unit(0, false);
    EXPECT_EQ(feed_addresses(caps, frame_length(FilmFormat(FilmFormat::Kind::F135))), 5959u);
    EXPECT_EQ(frame_length(FilmFormat::custom(36)), 5669u);
    EXPECT_EQ(frame_length(FilmFormat(FilmFormat::Kind::F69)), 13176u);
    auto half = caps;
    half.address.y.optical_dpi = 2000;
    EXPECT_EQ(feed_addresses(half, 5959), 2980u);  // rounded to the nearest address
}

TEST(Framing, AddressPitch) {
    auto caps = unit(0, false);
    auto d = frames(caps);
    ASSERT_TRUE(d);
    ASSERT_EQ(d->frames.size(), 6u);
    for (std::uint32_t i = 0; i < 6; ++i) EXPECT_EQ(d->frames[i], (Rect{i * 6000, 100, i * 6000 + 6000, 4000}));
    caps.address.y.origin_max = 4000;
    d = frames(caps);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->frames.size(), 1u);
}

TEST(Framing, PublishedFramesRoundToLineBlocks) {
    test_support::Rig rig(protocol::model::Model::Ls50);
    auto& s = rig.open();
    s.caps = unit(0x40, false);
    s.caps.address.ccd_lines = 3;
    s.caps.address.line_gap = 8;
    s.caps.address.y.max_extent = 40000;
    s.caps.frames.emplace();
    for (std::uint32_t i = 0; i < 3; ++i) s.caps.frames->frames.push_back({true, 1000, 100, 2000 * i, 3000});
    protocol::decode::Samples samples;
    auto d = discover_with(s, std::nullopt, samples, {});
    ASSERT_TRUE(d) << error::debug_string(d.error());
    ASSERT_EQ(d->frames.size(), 3u);
    EXPECT_EQ(d->frames[2], (Rect{4000, 100, 5008, 3100}));
    EXPECT_FALSE(d->pitch);
    EXPECT_TRUE(rig.sent().empty());  // nothing reaches the unit
}

// A unit that positions by perforations: a frame-position table and one reading per thumbnail column.
struct Perforated {
    Perforated() {
        auto& s = rig.open();
        s.caps = unit(0, true);
        s.caps.address.y.origin_min = 500;
        rig.unit->on(session::opcode::READ, [this](emulator::Unit&, std::span<const std::uint8_t> cdb, auto) {
            std::vector<std::uint8_t> payload;
            if (cdb[2] == 0x8F) {  // Boundary2: two positions
                payload = *protocol::data::BoundaryType2{{{1000, 5, 1, 0}, {3000, 9, 2, 0}}}.to_bytes();
            } else if (cdb[2] == PERFORATION) {
                // A 3-byte length, an entry size of 4, then perforation number, decimal and pulse per column.
                const std::size_t l = 4 * readings + 1;
                payload = {static_cast<std::uint8_t>(l >> 16), static_cast<std::uint8_t>(l >> 8), static_cast<std::uint8_t>(l), 4};
                for (std::size_t i = 0; i < readings; ++i) {
                    payload.insert(payload.end(), {0, static_cast<std::uint8_t>(i), 0, 1});
                }
            }
            return test_support::record(cdb[2], payload, cdb);
        });
        rig.unit->on(session::opcode::SEND, emulator::Unit::Command{[this](emulator::Unit&, auto cdb, auto out) {
                                                                    sent_tables.emplace_back(out.begin(), out.end());
                                                                    (void)cdb;
                                                                    return emulator::Response::good();
                                                                },
                                                                [](auto cdb) {
                                                                    return (std::size_t{cdb[6]} << 16) | (std::size_t{cdb[7]} << 8) | cdb[8];
                                                                }});
        rig.mark();
    }
    test_support::Rig rig{protocol::model::Model::Ls50};
    std::size_t readings = 40;
    std::vector<std::vector<std::uint8_t>> sent_tables;
};

TEST(Framing, RegistersARectangleOffTheTable) {
    // No measured pitch: 4000 / 500 = 8 addresses a column, so a top 100 past the origin is column 13.
    Perforated p;
    auto r = register_frame(*p.rig.session, Rect{600, 0, 5000, 3000});
    ASSERT_TRUE(r) << error::debug_string(r.error());
    EXPECT_TRUE(*r);
    ASSERT_EQ(p.sent_tables.size(), 1u);
    // The kept table is the one read from the unit, not the extended one.
    ASSERT_TRUE(p.rig.session->frame_table);

    // A top already in the table sends nothing.
    Perforated same;
    r = register_frame(*same.rig.session, Rect{1000, 7, 9000, 17});
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    EXPECT_TRUE(same.sent_tables.empty());

    // A column past the readings.
    Perforated few;
    few.readings = 13;
    test_support::expect_refused(register_frame(*few.rig.session, Rect{600, 0, 5000, 3000}), "frame registration",
                                 "a frame at 600 needs the perforation reading of thumbnail line 13, and the last pass measured 13");
    few.readings = 14;
    EXPECT_TRUE(register_frame(*few.rig.session, Rect{600, 0, 5000, 3000}));
}

TEST(Framing, RegistrationAppliesOnlyToPerforatedUnits) {
    for (const auto& caps : {unit(0x40, true), unit(0, false)}) {
        test_support::Rig rig;
        auto& s = rig.open();
        s.caps = caps;
        auto r = register_frame(s, Rect{600, 0, 5000, 3000});
        ASSERT_TRUE(r);
        EXPECT_FALSE(*r);
        EXPECT_TRUE(rig.sent().empty());
    }
}

}  // namespace
}  // namespace vexlor::scan::framing

namespace vexlor::scan::frame {
namespace {

TEST(FrameOperations, PutTheKeptTableBackWhateverTheOperationDid) {
    const auto kept = *protocol::data::BoundaryType2{{{1000, 5, 1, 0}, {3000, 9, 2, 0}}}.to_bytes();
    {
        framing::Perforated p;
        auto r = focus_frame(*p.rig.session, protocol::data::Rect{600, 0, 5000, 3000}, focus::Focus{focus::Focus::Hold{}});
        ASSERT_TRUE(r) << error::debug_string(r.error());
        EXPECT_EQ(r->first, focus::Focused::Skipped);
        // The extended table for the pass, then the kept one back.
        ASSERT_EQ(p.sent_tables.size(), 2u);
        EXPECT_NE(p.sent_tables[0], kept);
        EXPECT_EQ(p.sent_tables[1], kept);
    }
    {
        framing::Perforated p;
        auto r = at_frame(*p.rig.session, protocol::data::Rect{600, 0, 5000, 3000},
                          []() -> error::Result<int> { return std::unexpected(error::Error::cancelled()); });
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), error::Error::cancelled());
        ASSERT_EQ(p.sent_tables.size(), 2u);
        EXPECT_EQ(p.sent_tables[1], kept);
    }
    {
        // Nothing registered (the top is in the table already): nothing goes back either.
        framing::Perforated p;
        auto r = at_frame(*p.rig.session, protocol::data::Rect{1000, 0, 5000, 3000}, []() -> error::Result<int> { return 7; });
        ASSERT_TRUE(r);
        EXPECT_EQ(*r, 7);
        EXPECT_TRUE(p.sent_tables.empty());
    }
}

}  // namespace
}  // namespace vexlor::scan::frame
