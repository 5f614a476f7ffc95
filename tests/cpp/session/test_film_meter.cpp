// Metering a frame of the emulated film: host metering passes that come off full scale, the
// unit's own exposure pass, the white-balance lock, and a unit with no way to meter.
#include <gtest/gtest.h>

#include <numeric>

#include "cpp/session/rig.hpp"
#include "diag/log.hpp"
#include "scan/meter.hpp"
#include "scan/window.hpp"

namespace vexlor::test_support {
namespace {

using protocol::model::Model;
using protocol::window::Window;
namespace sw = protocol::caps::set_window;

struct MeterRig {
    MeterRig(Model model, std::function<void(emulator::ModelValues&)> change = {}) : rig(model, Rig::Handlers::Stateful) {
        if (change) rig.unit->edit(change);
        rig.open();
    }
    session::Session& s() { return *rig.session; }
    protocol::data::Rect frame() const {
        const auto f = rig.unit->film().frames.front();
        return {f.top, f.left, f.top + f.length, f.left + f.width};
    }
    error::Result<scan::autoexpose::Exposures> meter(bool infrared, bool lock, std::vector<std::size_t>* passes = nullptr) {
        const scan::window::Recipe recipe{s().caps.address.x.optical_dpi, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), infrared};
        return s().autoexpose_frame_with(frame(), recipe, lock, [passes](std::size_t n, const auto&) {
            if (passes && (passes->empty() || passes->back() != n)) passes->push_back(n);
            return false;
        });
    }
    int scans() const {
        const auto sent = rig.sent();
        return static_cast<int>(std::count_if(sent.begin(), sent.end(), [](const Cdb& c) { return c[0] == session::opcode::SCAN; }));
    }
    // Whether any window of the last pass reached full scale somewhere.
    bool saturated() const {
        const auto pass = rig.unit->pass();
        for (std::size_t w = 0; w < pass->layout().channels.size(); ++w) {
            const std::uint16_t full = scan::meter::full_scale(pass->layout().bits);
            for (std::uint32_t j = 0; j < pass->layout().lines; ++j) {
                for (std::uint32_t x = 0; x < pass->layout().pixels; ++x) {
                    if (pass->value(w, x, j) >= full) return true;
                }
            }
        }
        return false;
    }
    Rig rig;
};

// Start-up exposures for every channel, in 10 ns.
std::vector<std::uint8_t> start_up(std::uint32_t exposure) {
    return {static_cast<std::uint8_t>(exposure >> 24), static_cast<std::uint8_t>(exposure >> 16), static_cast<std::uint8_t>(exposure >> 8),
            static_cast<std::uint8_t>(exposure)};
}

TEST(FilmMeter, HostMeteringComesOffFullScale) {
    struct Case {
        const char* name;
        std::optional<std::uint32_t> start;  // start-up exposure for every channel; none: the unit's own
        int passes;
        bool settled;
    };
    const Case cases[] = {
        {"one pass is enough", std::nullopt, 1, true},
        {"overexposed at first", 90000, 3, true},
        {"never off full scale", 2000000, 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // No exposure pass of the unit's own that keeps the balance: the host meters.
        MeterRig m(Model::Ls40);
        if (c.start) m.rig.unit->set_record(0x8C, start_up(*c.start));
        diag::Capture cap;
        std::vector<std::size_t> numbers;
        auto exposures = m.meter(false, true, &numbers);
        ASSERT_TRUE(exposures) << error::debug_string(exposures.error());
        EXPECT_EQ(m.scans(), c.passes);
        std::vector<std::size_t> expected(static_cast<std::size_t>(c.passes));
        std::iota(expected.begin(), expected.end(), 1);
        EXPECT_EQ(numbers, expected);
        EXPECT_EQ(cap.contains(diag::Level::Debug, "metering never came off full scale", "vexlor::session::autoexpose"), !c.settled);
        EXPECT_EQ(m.saturated(), !c.settled);
        ASSERT_FALSE(exposures->iter().empty());
        for (const auto& [channel, time] : exposures->iter()) {
            EXPECT_GE(time, m.s().caps.set_window.exposure_min);
            EXPECT_LE(time, m.s().caps.set_window.exposure_max);
        }
    }
}

TEST(FilmMeter, MeteredExposuresBringTheFrameNearTheTarget) {
    MeterRig m(Model::Ls5000, [](emulator::ModelValues& v) { v.set_window.kinds = sw::kind::IMAGE | sw::kind::THUMBNAIL; });
    m.rig.unit->set_record(0x8C, start_up(90000));
    auto exposures = m.meter(true, false);
    ASSERT_TRUE(exposures) << error::debug_string(exposures.error());
    // A pass at the metered times: the brightest of each channel sits below full scale but well up.
    const scan::window::Recipe recipe{1000, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), true};
    auto windows = recipe.windows(m.s().caps, m.frame());
    ASSERT_TRUE(windows);
    exposures->apply(*windows);
    protocol::decode::Samples samples;
    ASSERT_TRUE(m.s().scan_pass_with(*windows, std::chrono::seconds(1800), samples, {}));
    // Metered at its percentile, each channel sits below full scale but well up.
    const float percentile = scan::meter::Metering{}.percentile;
    for (const auto& plane : samples.planes) {
        const auto level = scan::meter::tail(plane, percentile);
        ASSERT_TRUE(level);
        EXPECT_LT(*level, 65535);
        EXPECT_GT(*level, 40000);
    }
}

TEST(FilmMeter, TheUnitsOwnExposurePass) {
    for (const bool lock : {false, true}) {
        SCOPED_TRACE(lock ? "balance locked" : "balance free");
        MeterRig m(Model::Ls5000);
        auto exposures = m.meter(false, lock);
        ASSERT_TRUE(exposures) << error::debug_string(exposures.error());
        EXPECT_EQ(m.scans(), 1);
        EXPECT_FALSE(m.rig.unit->scanning());  // stopped without reading
        EXPECT_EQ(m.rig.unit->image_reads(), 0);
        std::map<protocol::window::Channel, std::uint32_t> held;
        for (const auto& bytes : m.rig.unit->windows()) {
            const auto w = Window::try_from(bytes);
            ASSERT_TRUE(w);
            if (w->kind.intersects(sw::kind::AE | sw::kind::AE_WB)) {
                EXPECT_EQ(w->kind, lock ? sw::kind::AE_WB : sw::kind::AE);
                held[w->channel()] = w->exposure;
            }
        }
        ASSERT_FALSE(held.empty());
        EXPECT_EQ(exposures->iter(), held);
        // Balance locked: every channel scaled alike from its start-up time; free: each its own way.
        std::vector<double> ratios;
        for (const auto& [channel, time] : held) ratios.push_back(double(time) / emulator::white_balance_exposure(channel.byte()));
        const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
        EXPECT_EQ(*hi / *lo < 1.001, !lock);
    }
}

TEST(FilmMeter, CancellingDuringTheSecondPass) {
    MeterRig m(Model::Ls40);
    m.rig.unit->set_record(0x8C, start_up(90000));
    const scan::window::Recipe recipe{1000, 1, sw::interleaving::LINE_WITHOUT_DISTANCE.bits(), false};
    std::vector<std::size_t> seen;
    auto exposures = m.s().autoexpose_frame_with(m.frame(), recipe, true, [&](std::size_t n, const auto&) {
        seen.push_back(n);
        return n == 2;
    });
    ASSERT_FALSE(exposures);
    EXPECT_EQ(exposures.error(), error::Error::cancelled());
    EXPECT_EQ(m.scans(), 2);
    EXPECT_EQ(seen.back(), 2u);
    EXPECT_FALSE(m.rig.unit->scanning());
}

TEST(FilmMeter, AWindowTheUnitDoesNotReportBackKeepsItsOwnTime) {
    MeterRig m(Model::Ls5000);
    // GET WINDOW leaves out the blue window.
    m.rig.unit->on(session::opcode::GET_WINDOW, [](emulator::Unit& u, std::span<const std::uint8_t> cdb, auto out) {
        auto r = u.standard(cdb, out);
        auto& d = r.data_in;
        for (std::size_t at = 8; at + 50 <= d.size();) {
            if (d[at] == 3) {
                d.erase(d.begin() + static_cast<std::ptrdiff_t>(at), d.begin() + static_cast<std::ptrdiff_t>(at + 50));
            } else {
                at += 50;
            }
        }
        d[0] = static_cast<std::uint8_t>((d.size() - 2) >> 8);
        d[1] = static_cast<std::uint8_t>(d.size() - 2);
        return r;
    });
    auto exposures = m.meter(false, false);
    ASSERT_TRUE(exposures) << error::debug_string(exposures.error());
    // What SET WINDOW gave the blue window before the exposure pass.
    std::optional<std::uint32_t> sent;
    for (const auto& l : m.rig.unit->log()) {
        if (l.cdb[0] != session::opcode::SET_WINDOW || l.out.size() < 58) continue;
        const auto w = Window::try_from(std::span(l.out).subspan(8));
        if (w && w->id == 3) sent = w->exposure;
    }
    ASSERT_TRUE(sent);
    const auto blue = exposures->iter().find(protocol::window::Channel(3));
    ASSERT_NE(blue, exposures->iter().end());
    EXPECT_EQ(blue->second, *sent);
    const auto red = exposures->iter().find(protocol::window::Channel(1));
    ASSERT_NE(red, exposures->iter().end());
    EXPECT_NE(red->second, emulator::white_balance_exposure(1));  // the unit's own choice
}

TEST(FilmMeter, AUnitWithNoWayToMeterIsRefusedBeforeAnythingIsSent) {
    MeterRig m(Model::Ls40, [](emulator::ModelValues& v) { v.set_window.analog = sw::AnalogControl(); });
    m.rig.mark();
    auto exposures = m.meter(false, true);
    ASSERT_FALSE(exposures);
    const auto* u = exposures.error().get_if<error::Error::Unsupported>();
    ASSERT_TRUE(u);
    EXPECT_EQ(u->op, "exposure");
    EXPECT_TRUE(m.rig.sent().empty());
}

}  // namespace
}  // namespace vexlor::test_support
