// Passes: READ sizing and edge stripping, byte for byte (the engine runs over the film in test_film_pass.cpp).
#include <gtest/gtest.h>

#include <random>

#include "cpp/refusal.hpp"
#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "scan/window.hpp"
#include "session/image.hpp"
#include "session/scan.hpp"

namespace vexlor::test_support {
namespace {

using emulator::Response;
using emulator::Unit;
using protocol::image::Layout;
using protocol::model::Model;
using protocol::window::Window;
using Bytes = std::vector<std::uint8_t>;

Layout units(std::uint64_t first, std::uint64_t unit, std::uint64_t cycle) {
    Layout l;
    l.first_unit = first;
    l.unit = unit;
    l.cycle = cycle;
    return l;
}

TEST(PassReads, LengthsInWholeUnits) {
    struct Case {
        Layout layout;
        std::size_t remaining, max, want;
    };
    const std::vector<Case> cases = {
        {units(10000, 10000, 10000), 1'000'000, 131072, 130000},
        {units(10000, 10000, 10000), 25000, 131072, 30000},
        {units(300, 200, 500), 5000, 1000, 1000},
        {units(300, 200, 500), 700, 1000, 800},
        {units(8000, 6000, 14000), 10'000'000, 131072, 126000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(session::image::read_length(c.layout, 0, c.remaining, c.max), c.want)
            << c.layout.first_unit << "/" << c.layout.unit << " remaining " << c.remaining;
    }
}

// A layout of `channels` windows of `pixels` two-byte pixels, with the edges given.
Layout edged(std::vector<std::uint8_t> channels, std::uint8_t readings, std::pair<std::uint32_t, std::uint32_t> color,
             std::pair<std::uint32_t, std::uint32_t> ir, std::uint32_t pixels) {
    Layout l;
    for (const std::uint8_t id : channels) l.channels.emplace_back(id);
    l.readings = readings;
    l.color_edges = color;
    l.ir_edges = ir;
    l.pixels = pixels;
    l.lines = 4;
    l.sample_bytes = 2;
    return l;
}

// The raw stream of `sets` line sets, every edge byte 0xEE and sample bytes counting up from 0.
Bytes raw_stream(const Layout& l, std::size_t sets, Bytes& kept) {
    Bytes raw;
    std::uint8_t next = 0;
    const bool has_ir = std::count(l.channels.begin(), l.channels.end(), protocol::window::Channel(9)) > 0;
    for (std::size_t s = 0; s < sets; ++s) {
        for (unsigned r = 0; r < std::max<unsigned>(l.readings, 1); ++r) {
            const bool first = r == 0;
            const auto edges = first && l.readings > 1 && has_ir ? l.ir_edges : l.color_edges;
            const std::size_t channels = first ? l.channels.size() : l.channels.size() - (has_ir ? 1 : 0);
            raw.insert(raw.end(), edges.first, 0xEE);
            for (std::size_t i = 0; i < channels * l.pixels * 2; ++i) {
                raw.push_back(next);
                kept.push_back(next++);
            }
            raw.insert(raw.end(), edges.second, 0xEE);
        }
    }
    return raw;
}

TEST(PassStrip, KeepsTheSamplesOfEveryRecordWhereverChunksCut) {
    struct Case {
        const char* name;
        Layout layout;
    };
    const std::vector<Case> cases = {
        // 3 channels of 100 pixels, lead 8 and trail 4: each 612-byte record keeps bytes 8 to 607.
        {"one reading", edged({1, 2, 3}, 1, {8, 4}, {0, 0}, 100)},
        // The first record of a line set carries infrared with its own edges, the second colours only.
        {"two readings with infrared", edged({9, 1, 2, 3}, 2, {8, 4}, {16, 2}, 10)},
        {"no edges", edged({1, 2, 3}, 1, {0, 0}, {0, 0}, 7)},
    };
    for (const auto& c : cases) {
        Bytes kept;
        const Bytes raw = raw_stream(c.layout, 4, kept);
        if (std::string_view(c.name) == "one reading") {
            Bytes first(raw.begin(), raw.begin() + 612);
            session::scan::StripPosition at;
            session::scan::strip_truncation(first, at, c.layout);
            EXPECT_EQ(first, Bytes(raw.begin() + 8, raw.begin() + 608));
        }
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{611}, std::size_t{612}, raw.size()}) {
            session::scan::StripPosition at;
            Bytes out;
            for (std::size_t i = 0; i < raw.size(); i += chunk) {
                Bytes piece(raw.begin() + static_cast<std::ptrdiff_t>(i),
                            raw.begin() + static_cast<std::ptrdiff_t>(std::min(raw.size(), i + chunk)));
                session::scan::strip_truncation(piece, at, c.layout);
                out.insert(out.end(), piece.begin(), piece.end());
            }
            EXPECT_EQ(out, kept) << c.name << ", chunks of " << chunk;
            EXPECT_EQ(at.line, 4u) << c.name;
            EXPECT_EQ(at.offset, 0u) << c.name;
        }
    }
}

TEST(PassStrip, DropsLineSetsOutsideThePass) {
    Layout l = edged({1}, 1, {2, 2}, {0, 0}, 3);
    l.head_lines = 1;
    l.lines = 2;
    l.tail_lines = 1;
    Bytes kept;
    Bytes raw = raw_stream(l, 4, kept);
    session::scan::StripPosition at;
    session::scan::strip_truncation(raw, at, l);
    EXPECT_EQ(raw, Bytes(kept.begin() + 6, kept.begin() + 18));  // line sets 1 and 2 of 0..3
}

TEST(PassReads, AUnitThatGivesMoreThanThePassIsStopped) {
    // 25,000 bytes in READ units of 10,000: the last READ asks for 30,000 and this unit fills it.
    Rig rig;
    rig.unit->on(session::opcode::READ, [](Unit&, std::span<const std::uint8_t> cdb, std::span<const std::uint8_t>) {
        return Response::with_data(Bytes((std::size_t{cdb[6]} << 16) | (std::size_t{cdb[7]} << 8) | cdb[8], 0x11));
    });
    auto& s = rig.open();
    Layout layout = units(10000, 10000, 10000);
    layout.channels = {protocol::window::Channel::of(protocol::window::Channel::Kind::Default)};
    layout.pixels = 2500;
    layout.lines = 5;
    ASSERT_EQ(layout.total_bytes(), 25000u);
    std::size_t read = 0;
    {
        session::image::Chunks chunks(layout, s, 131072);
        Bytes buffer;
        while (auto n = chunks.fill(buffer)) {
            ASSERT_TRUE(n.has_value());
            if (!*n) break;
            read += **n;
        }
        EXPECT_EQ(chunks.surplus(), 5000u);
    }
    EXPECT_EQ(read, 25000u);  // what lies beyond the pass reaches nobody
    const auto sent = rig.sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const Cdb& c) { return c[0] == session::opcode::ABORT; }), 1);
}

}  // namespace
}  // namespace vexlor::test_support
