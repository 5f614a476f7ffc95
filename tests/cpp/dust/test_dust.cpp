// The density scale, the tuning block and the clear-film calibration.
#include <cmath>
#include <limits>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>

#include "cpp/dust/frame.hpp"
#include "dust/dust.hpp"

namespace vexlor::dust {
namespace {

using test_support::density_of;
using test_support::level_for;

TEST(Density, TableWorkedValues) {
    EXPECT_EQ(density(0), 0.0f);
    EXPECT_EQ(density(65535), 65535.0f);
    struct Case {
        float fraction;
        std::uint16_t level;
        float density;
    };
    const Case cases[] = {
        {0.97f, 63568, 65354.926f}, {0.98f, 64224, 65415.59f}, {0.065f, 4259, 49383.234f},
        {0.04f, 2621, 46515.316f},  {0.96f, 62913, 65293.723f}, {0.01f, 655, 38327.945f},
        {0.99f, 64879, 65475.55f},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fraction_density(c.fraction), density(c.level)) << c.fraction;
        EXPECT_FLOAT_EQ(density(c.level), c.density) << c.level;
    }
    // Fractions outside 0..1 (and NaN) are clamped before they become levels.
    EXPECT_EQ(fraction_density(-0.5f), 0.0f);
    EXPECT_EQ(fraction_density(1.5f), 65535.0f);
    EXPECT_EQ(fraction_density(std::numeric_limits<float>::quiet_NaN()), 0.0f);
}

TEST(Density, LutIsBuiltOnceForConcurrentFirstUsers) {
    std::array<const Table*, 4> seen{};
    {
        std::vector<std::jthread> threads;
        for (auto& s : seen) threads.emplace_back([&s] { s = &LUT(); });
    }
    for (const auto* s : seen) EXPECT_EQ(s, seen[0]);
    const Table& lut = LUT();
    for (std::uint32_t v = 0; v < lut.size(); ++v) ASSERT_EQ(lut[v], density(static_cast<std::uint16_t>(v))) << v;
}

TEST(Density, EveryLevelSurvivesTheRoundTrip) {
    std::vector<std::uint16_t> levels(65536);
    std::iota(levels.begin(), levels.end(), std::uint16_t{0});
    const auto d = to_density(levels);
    ASSERT_EQ(d.size(), levels.size());
    std::vector<std::uint16_t> back(levels.size(), 1);
    from_density(d, back);
    for (std::size_t v = 0; v < levels.size(); ++v) ASSERT_EQ(back[v], v);
}

TEST(Density, LevelsOfOutOfRangeDensities) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // 2^(d / 4095.9375) - 1 stays below one half up to d = 2396 or so.
    const std::vector<float> d{nan, -inf, -1e9f, -1.0f, 0.0f, 2000.0f, 65535.0f, 65536.0f, 1e9f, inf};
    const std::vector<std::uint16_t> want{0, 0, 0, 0, 0, 0, 65535, 65535, 65535, 65535};
    std::vector<std::uint16_t> got(d.size(), 7);
    from_density(d, got);
    EXPECT_EQ(got, want);
}

TEST(Params, FromEachProfile) {
    struct Case {
        std::uint8_t profile;
        float grain_lo, grain_hi, gate_zero, inv_falloff;
        float gain;
    };
    const Case cases[] = {
        {0, 46515.316f, 65293.723f, -180.074f, 1.0f / -960.42f, 1.1f},
        {1, 38327.945f, 65475.55f, -179.074f, 1.0f / -960.42f, 1.1f},
        {2, 38327.945f, 65475.55f, -179.074f, 1.0f / -960.52f, 1.0f},
        {7, 46515.316f, 65293.723f, -180.074f, 1.0f / -960.42f, 1.1f},  // outside the table: profile 0
    };
    const Calibration cal{0.05f, 65000.0f};
    for (const auto& c : cases) {
        const Params p = Params::make(Settings{4000, 0.97f, c.profile}, cal);
        const Profile& profile = PROFILES[c.profile < 3 ? c.profile : 0];
        EXPECT_FLOAT_EQ(p.grain_lo, c.grain_lo);
        EXPECT_FLOAT_EQ(p.grain_hi, c.grain_hi);
        EXPECT_EQ(p.slopes, profile.slopes);
        EXPECT_EQ(p.c, 0.05f);
        EXPECT_EQ(p.ir_ref, 65000.0f);
        EXPECT_NEAR(p.gate_zero, c.gate_zero, 1e-3);
        EXPECT_NEAR(p.clean_level, 65000.0f - 119.41f, 1e-2);
        EXPECT_EQ(p.inv_falloff, c.inv_falloff);
        EXPECT_FLOAT_EQ(p.opaque, 49383.234f);
        EXPECT_EQ(p.gain, (std::array<float, 3>{c.gain, c.gain, c.gain}));
        for (std::size_t i = 0; i < 18; i += 2) EXPECT_GT(p.slopes[i], p.slopes[i + 1]) << int(c.profile) << " " << i;
    }
    // The coarse red pair and the fine blue pair, read at their indices.
    EXPECT_EQ(PROFILES[1].slopes[0], 1.21f);
    EXPECT_EQ(PROFILES[1].slopes[1], 1.09f);
    EXPECT_EQ(PROFILES[2].slopes[16], 1.97f);
    EXPECT_EQ(PROFILES[2].slopes[17], 1.89f);
}

TEST(Params, SwitchesAtTheirResolutions) {
    struct Case {
        std::uint8_t profile;
        std::uint32_t dpi;
        bool min3, envelope;
    };
    const Case cases[] = {
        {0, 550, false, false}, {0, 551, true, false},  {0, 950, true, false},  {0, 951, true, true},
        {1, 1600, true, false}, {1, 1601, true, true},  {2, 2500, true, false}, {2, 2501, true, true},
        {2, 0, false, false},   {1, 4000, true, true},
    };
    for (const auto& c : cases) {
        const Params p = Params::make(Settings{c.dpi, 0.97f, c.profile}, Calibration{});
        EXPECT_EQ(p.min3, c.min3) << int(c.profile) << " at " << c.dpi;
        EXPECT_EQ(p.envelope, c.envelope) << int(c.profile) << " at " << c.dpi;
    }
}

TEST(Calibration, DebugText) {
    EXPECT_EQ(debug_string(Calibration{0.05f, 65012.5f}), "Calibration { c: 0.05, ir_ref: 65012.5 }");
    EXPECT_EQ(debug_string(Calibration{-0.1f, 64999.98f}), "Calibration { c: -0.1, ir_ref: 64999.98 }");
}

TEST(Calibration, RecoversTheCrosstalkOfClearFilm) {
    for (const double crosstalk : {0.08, -0.05, 0.15, 0.0}) {
        // The opaque patch takes no part: its infrared is below clear film.
        const auto f = test_support::make_frame({.rows = 64, .cols = 80, .crosstalk = crosstalk, .damage = false});
        const auto cal = calibrate(f.truth[0], f.infrared, f.rows, f.cols);
        ASSERT_TRUE(cal.has_value()) << crosstalk;
        EXPECT_NEAR(cal->c, crosstalk, 2e-3) << crosstalk;
        // Clean film sits at one crosstalk-corrected density.
        const double base = density_of(60000) - crosstalk * density_of(20000);
        EXPECT_NEAR(cal->ir_ref, base / (1.0 - crosstalk), 2.0) << crosstalk;
    }
}

TEST(Calibration, NoClearFilmGivesNone) {
    const std::vector<std::uint16_t> red(64 * 64, 20000);
    EXPECT_FALSE(calibrate(red, std::vector<std::uint16_t>(64 * 64, 8847), 64, 64).has_value());
    EXPECT_FALSE(calibrate(red, std::vector<std::uint16_t>(64 * 64, 0), 64, 64).has_value());
    EXPECT_FALSE(calibrate({}, {}, 0, 0).has_value());
    // One clear pixel is enough for the means.
    std::vector<std::uint16_t> ir(64 * 64, 8847);
    ir[100] = 8848;
    const auto cal = calibrate(red, ir, 64, 64);
    ASSERT_TRUE(cal.has_value());
    EXPECT_EQ(cal->c, 0.0f);
    EXPECT_EQ(cal->ir_ref, density(8848));
}

TEST(Calibration, WithoutWholeBlocksTheSlopeIsZero) {
    // Seven rows: no 8 x 8 block. The reference is the mean of the infrared density weighted by
    // the squared level, here of two levels.
    const std::size_t rows = 7, cols = 40;
    std::vector<std::uint16_t> red(rows * cols), ir(rows * cols);
    for (std::size_t i = 0; i < red.size(); ++i) {
        red[i] = static_cast<std::uint16_t>(5000 + 97 * i);
        ir[i] = i % 2 ? 60000 : 30000;
    }
    const auto cal = calibrate(red, ir, rows, cols);
    ASSERT_TRUE(cal.has_value());
    EXPECT_EQ(cal->c, 0.0f);
    const double w1 = 60000.0 * 60000.0, w2 = 30000.0 * 30000.0;
    const double want = (w1 * density(60000) + w2 * density(30000)) / (w1 + w2);
    EXPECT_NEAR(cal->ir_ref, want, 0.01);
}

TEST(Calibration, FlatRedGivesNoSlope) {
    // Every quadrant's red mean equals its block's: no slope is finite.
    const std::size_t rows = 32, cols = 32;
    std::vector<std::uint16_t> red(rows * cols, 20000), ir(rows * cols);
    for (std::size_t i = 0; i < ir.size(); ++i) ir[i] = static_cast<std::uint16_t>(50000 + (i * 37) % 9000);
    const auto cal = calibrate(red, ir, rows, cols);
    ASSERT_TRUE(cal.has_value());
    EXPECT_EQ(cal->c, 0.0f);
}

}  // namespace
}  // namespace vexlor::dust
