// Passes: READ sizing, edge stripping, and the two-thread engine over a unit that serves a stream.
#include <gtest/gtest.h>

#include <random>

#include "cpp/refusal.hpp"
#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "scan/window.hpp"
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

// A unit that serves one stream to its image READs, counts what it is sent, and can fail or stop.
struct Film {
    Bytes stream;
    std::size_t at = 0;
    int reads = 0;
    int fail_on_read = 0;      // the READ (from 1) answered with a hardware error
    std::size_t short_at = 0;  // the stream ends here for the unit
    bool aborted = false;
    std::size_t extra = 0;     // bytes the unit holds beyond the stream
};

std::shared_ptr<Film> serve(Unit& unit, bool has_abort = true) {
    auto film = std::make_shared<Film>();
    unit.on(session::opcode::SCAN,
            Unit::Command{[](Unit&, auto, auto) { return Response::good(); }, [](auto cdb) { return std::size_t{cdb[4]}; }});
    unit.on(session::opcode::READ, [film](Unit&, std::span<const std::uint8_t> cdb, auto) {
        const std::size_t want = (std::size_t{cdb[6]} << 16) | (std::size_t{cdb[7]} << 8) | cdb[8];
        ++film->reads;
        if (film->fail_on_read == film->reads) return Response::check(0x04, 0x44, 0x00);
        const std::size_t end = film->short_at ? film->short_at : film->stream.size() + film->extra;
        if (film->at >= end) return Response::check(0x05, 0x2C, 0x00);
        const std::size_t n = std::min(want, end - film->at);
        Bytes d(n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t p = film->at + i;
            d[i] = p < film->stream.size() ? film->stream[p] : 0;
        }
        film->at += n;
        return Response::with_data(std::move(d));
    });
    if (has_abort) {
        unit.on(session::opcode::ABORT, [film](Unit&, auto, auto) {
            film->aborted = true;
            return Response::good();
        });
    } else {
        unit.on(session::opcode::ABORT, [](Unit&, auto, auto) { return Response::check(0x05, 0x20, 0x00); });
    }
    return film;
}

struct PassRig {
    explicit PassRig(Model model, std::size_t max_transfer, bool has_abort = true) : rig(model) {
        auto s = session::Session::open(std::make_unique<emulator::LocalTransport>(rig.unit, max_transfer), rig.clock);
        EXPECT_TRUE(s) << error::debug_string(s.error());
        session.emplace(std::move(*s));
        film = serve(*rig.unit, has_abort);
    }

    // Windows over a small rectangle, and a random stream the size of their pass.
    std::vector<Window> prepare(bool infrared) {
        const auto& caps = session->caps;
        const scan::window::Recipe recipe{caps.address.x.min_dpi, 1, 0x02, infrared};
        const protocol::data::Rect rect{caps.address.y.origin_min, caps.address.x.origin_min,
                                        caps.address.y.origin_min + 1200, caps.address.x.origin_min + 900};
        auto windows = recipe.windows(caps, rect);
        EXPECT_TRUE(windows) << error::debug_string(windows.error());
        auto layout = Layout::make(caps, *windows, session->units, std::nullopt);
        EXPECT_TRUE(layout) << error::debug_string(layout.error());
        std::mt19937 gen(7);
        film->stream.resize(layout->total_bytes());
        for (auto& b : film->stream) b = static_cast<std::uint8_t>(gen());
        expected = *layout;
        return *windows;
    }

    // The planes the whole stream decodes to in one push.
    protocol::decode::Samples reference() const {
        auto d = protocol::decode::Decoder::make(expected);
        protocol::decode::Samples s;
        s.resize_for(*d);
        EXPECT_TRUE(d->push(film->stream, s));
        return s;
    }

    Rig rig;
    std::shared_ptr<Film> film;
    std::optional<session::Session> session;
    Layout expected;
};

TEST(PassEngine, DecodesTheWholeStream) {
    for (const bool infrared : {false, true}) {
        PassRig p(Model::Ls5000, 4096);
        const auto windows = p.prepare(infrared);
        std::vector<session::scan::Progress> reports;
        protocol::decode::Samples samples;
        diag::Capture cap;
        auto pass = p.session->scan_pass_with(windows, std::chrono::seconds(1800), samples, [&](const auto& r) {
            reports.push_back(r);
            return false;
        });
        ASSERT_TRUE(pass) << error::debug_string(pass.error());
        EXPECT_TRUE(pass->complete);
        EXPECT_EQ(pass->rows, p.expected.pixels);
        EXPECT_EQ(pass->cols, p.expected.lines);
        EXPECT_EQ(samples, p.reference());
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().bytes_done, p.film->stream.size());
        EXPECT_EQ(reports.back().bytes_total, p.expected.total_bytes());
        EXPECT_EQ(reports.back().blocks, pass->blocks);
        EXPECT_FALSE(p.film->aborted);  // a finished pass is closed without ABORT
        EXPECT_TRUE(cap.contains(diag::Level::Debug, "pass", "vexlor::session::scan"));
        // The SCAN command carries the identifiers in window order.
        const auto sent = p.rig.unit->received();
        const auto scan = std::find_if(sent.begin(), sent.end(), [](const auto& c) { return c[0] == 0x1B; });
        ASSERT_NE(scan, sent.end());
        EXPECT_EQ((*scan)[4], windows.size());
    }
}

TEST(PassEngine, StopsEarly) {
    struct Case {
        const char* name;
        int fail_on_read;
        int cancel_after;  // reports; 0 never
        bool has_abort;
        std::size_t reports;
    };
    for (const Case c : {Case{"cancelled after the first chunk", 0, 1, true, 1},
                         Case{"a READ fails after three chunks", 4, 0, true, 3},
                         Case{"cancelled on a unit without ABORT", 0, 1, false, 1}}) {
        PassRig p(Model::Ls5000, 1024, c.has_abort);
        p.film->fail_on_read = c.fail_on_read;
        const auto windows = p.prepare(false);
        int reports = 0;
        protocol::decode::Samples samples;
        diag::Capture cap;
        auto pass = p.session->scan_pass_with(windows, std::chrono::seconds(1800), samples,
                                              [&](const auto&) { return ++reports == c.cancel_after; });
        ASSERT_FALSE(pass) << c.name;
        if (c.cancel_after) {
            EXPECT_EQ(pass.error(), error::Error::cancelled()) << c.name;
        } else {
            EXPECT_TRUE(pass.error().fault()) << c.name << ": " << error::debug_string(pass.error());
        }
        EXPECT_EQ(static_cast<std::size_t>(reports), c.reports) << c.name;
        EXPECT_TRUE(cap.contains(diag::Level::Info, "stopping the scan", "vexlor::session::image")) << c.name;
        EXPECT_FALSE(cap.contains(diag::Level::Debug, "pass", "vexlor::session::scan")) << c.name;
        if (c.has_abort) {
            EXPECT_TRUE(p.film->aborted) << c.name;
        } else {
            // The rest was read off instead: the unit has handed over the whole stream.
            EXPECT_TRUE(cap.contains(diag::Level::Debug, "no ABORT on this unit, so reading the remainder off instead"));
            EXPECT_EQ(p.film->at, p.film->stream.size()) << c.name;
        }
        // The session is free again.
        EXPECT_TRUE(p.session->test_unit_ready(std::chrono::seconds(1))) << c.name;
    }
}

TEST(PassEngine, AShortUnitGivesAnIncompletePass) {
    PassRig p(Model::Ls5000, 1024);
    const auto windows = p.prepare(false);
    p.film->short_at = p.film->stream.size() / 2 + 1;
    protocol::decode::Samples samples;
    diag::Capture cap;
    auto pass = p.session->scan_pass_with(windows, std::chrono::seconds(1800), samples, {});
    ASSERT_TRUE(pass) << error::debug_string(pass.error());
    EXPECT_FALSE(pass->complete);
    EXPECT_LT(pass->blocks, p.expected.lines);
    EXPECT_TRUE(cap.contains(diag::Level::Warn, "the unit gave less than the pass promised"));
    EXPECT_TRUE(p.film->aborted);  // the stream ended early, so the scan is stopped
}

TEST(PassEngine, RefusesReadUnitsAboveTheTransferLimit) {
    PassRig p(Model::Ls5000, 64);
    const auto windows = p.prepare(false);
    protocol::decode::Samples samples;
    auto pass = p.session->scan_pass_with(windows, std::chrono::seconds(1800), samples, {});
    ASSERT_FALSE(pass);
    const auto* u = pass.error().get_if<error::Error::Unsupported>();
    ASSERT_NE(u, nullptr) << error::debug_string(pass.error());
    EXPECT_EQ(u->op, "image read");
    EXPECT_EQ(p.film->reads, 0);
}

}  // namespace
}  // namespace vexlor::test_support
