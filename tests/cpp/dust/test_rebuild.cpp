// Rebuilding defect pixels, and dust::clean as a whole on synthetic frames.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include "cpp/dust/frame.hpp"
#include "dust/dust.hpp"

namespace vexlor::dust {
namespace {

using test_support::Frame;
using test_support::make_frame;

// Gate and confidence of one value everywhere, with flat colour planes.
struct Flat {
    std::size_t rows, cols;
    std::vector<float> gate, conf;
    std::vector<std::uint16_t> red, green, blue;
    Flat(std::size_t r, std::size_t c, float g = 65000.0f, float confidence = 1.0f)
        : rows(r), cols(c), gate(r * c, g), conf(r * c, confidence), red(r * c, 20000), green(r * c, 20000),
          blue(r * c, 20000) {}
    View view() const { return View{gate, conf, red, green, blue, rows, cols}; }
};

TEST(Neighbourhoods, PixelsTakenInAtCornersEdgesAndInside) {
    struct Case {
        std::size_t rows, cols, y, x;
        int big, small, box16;  // pixels of each disc; the 3 x 3's weights in sixteenths
    };
    const Case cases[] = {
        {10, 10, 0, 0, 22, 8, 9},  // rows 0..4 with half-widths 4, 4, 4, 3, 2 cut at column 0
        {10, 10, 9, 9, 22, 8, 9},  {10, 10, 5, 5, 69, 21, 16}, {10, 10, 0, 5, 5 + 7 + 9 + 9 + 9, 3 + 5 + 5, 12},
        {1, 1, 0, 0, 1, 1, 4},     {1, 12, 0, 6, 9, 5, 8},      {12, 1, 6, 0, 9, 5, 8},
    };
    for (const auto& c : cases) {
        const Flat flat(c.rows, c.cols);
        const View v = flat.view();
        const Sums big = hood<true>(v, c.y, c.x, Hood::Big);
        const Sums small = hood<true>(v, c.y, c.x, Hood::Small);
        const Sums box = hood<false>(v, c.y, c.x, Hood::Box);
        EXPECT_NEAR(big.weight, c.big / 69.0, 2e-6) << c.rows << "x" << c.cols << " at " << c.y << "," << c.x;
        EXPECT_NEAR(small.weight, c.small / 21.0, 2e-6) << c.rows << "x" << c.cols << " at " << c.y << "," << c.x;
        EXPECT_EQ(box.weight, c.box16 / 16.0f) << c.rows << "x" << c.cols << " at " << c.y << "," << c.x;
        // Sums of constant values are the weight times the value; without colour they stay 0.
        EXPECT_NEAR(big.gate, big.weight * 65000.0f, 0.05);
        EXPECT_NEAR(big.red, big.weight * density(20000), 0.05);
        EXPECT_EQ(box.red, 0.0f);
    }
    // The small disc's weight is the confidence: 1 where all is clean, the floor where none is.
    EXPECT_NEAR(hood<true>(Flat(9, 9, 65000.0f, 0.02f).view(), 4, 4, Hood::Small).weight, 0.02f, 1e-6);
}

TEST(Neighbourhoods, TakenTogetherTheyAreTheSameSums) {
    // Random images: every bit of the five sets of sums must match the one-by-one sums.
    const std::size_t rows = 14, cols = 17;
    Flat f(rows, cols);
    std::uint64_t z = 1;
    const auto next = [&] { return mix(++z); };
    for (std::size_t i = 0; i < rows * cols; ++i) {
        f.gate[i] = 60000.0f + static_cast<float>(next() % 10000) * 0.37f;
        f.conf[i] = 0.02f + static_cast<float>(next() % 1000) * 0.00098f;
        f.red[i] = static_cast<std::uint16_t>(next());
        f.green[i] = static_cast<std::uint16_t>(next());
        f.blue[i] = static_cast<std::uint16_t>(next());
    }
    const View v = f.view();
    const auto same = [](const Sums& a, const Sums& b) {
        return a.weight == b.weight && a.gate == b.gate && a.red == b.red && a.green == b.green && a.blue == b.blue;
    };
    for (std::size_t y = 5; y + 5 < rows; ++y) {
        for (std::size_t x = 5; x + 5 < cols; ++x) {
            Hoods own;
            std::array<Hoods, 4> next_to;
            hoods_around(v, y, x, own, next_to);
            EXPECT_TRUE(same(own.big, hood<true>(v, y, x, Hood::Big)));
            EXPECT_TRUE(same(own.small, hood<true>(v, y, x, Hood::Small)));
            EXPECT_TRUE(same(own.box3, hood<true>(v, y, x, Hood::Box)));
            const std::pair<std::size_t, std::size_t> at[4] = {{y, x - 1}, {y, x + 1}, {y - 1, x}, {y + 1, x}};
            for (std::size_t k = 0; k < 4; ++k) {
                EXPECT_TRUE(same(next_to[k].big, hood<false>(v, at[k].first, at[k].second, Hood::Big))) << k;
                EXPECT_TRUE(same(next_to[k].small, hood<false>(v, at[k].first, at[k].second, Hood::Small))) << k;
                EXPECT_TRUE(same(next_to[k].box3, hood<false>(v, at[k].first, at[k].second, Hood::Box))) << k;
            }
        }
    }
}

TEST(Grain, FixedPerPixelAndChannelInsideTheBand) {
    EXPECT_EQ(mix(0), 0u);
    EXPECT_EQ(mix(0x9E3779B97F4A7C15ULL), 0xE220A8397B1DCDAFULL);  // SplitMix64's first output from seed 0

    const Params p = Params::make(Settings{4000, 0.97f, 0}, Calibration{});
    const float mid = (p.grain_lo + p.grain_hi) / 2.0f;
    // Pixel 0, red: u = -0.5 at the middle of the band, where the shape factor is 1.
    EXPECT_NEAR(grain(mid, 0, 0, p), mid - 0.5f * 0.015f * mid, 0.05f);
    // Pixel 0, blue, comes from z = 2.
    const float u2 = static_cast<float>(mix(2) & 0xFFFFFF) / 16777216.0f - 0.5f;
    EXPECT_NEAR(grain(mid, 0, 2, p), mid + u2 * 0.025f * mid, 0.05f);
    EXPECT_NE(grain(mid, 1, 0, p), grain(mid, 0, 0, p));
    // At the band's edges and outside it nothing is added.
    for (const float v : {p.grain_lo, p.grain_hi, p.grain_lo - 1.0f, p.grain_hi + 1.0f, 0.0f, 70000.0f}) {
        EXPECT_EQ(grain(v, 0, 0, p), v);
    }
}

TEST(Rebuild, EnvelopeWidensTheBandAboveTheProfilesResolution) {
    // An infrared edge beside the pixel: the neighbours' detail differs from the pixel's own.
    Flat flat(15, 15);
    for (std::size_t y = 0; y < 15; ++y) {
        for (std::size_t x = 8; x < 15; ++x) flat.gate[y * 15 + x] = 63000.0f;
    }
    for (std::size_t i = 0; i < flat.red.size(); ++i) flat.red[i] = static_cast<std::uint16_t>(15000 + 1000 * (i % 7));
    const View v = flat.view();
    const std::uint32_t p = 7 * 15 + 7;
    const Calibration cal{0.0f, 65000.0f};
    for (const auto& [profile, off, on] : {std::tuple{0, 950u, 951u}, {1, 1600u, 1601u}, {2, 2500u, 2501u}}) {
        const auto low = rebuild(v, Params::make(Settings{off, 0.97f, std::uint8_t(profile)}, cal), p);
        const auto lower = rebuild(v, Params::make(Settings{600, 0.97f, std::uint8_t(profile)}, cal), p);
        const auto high = rebuild(v, Params::make(Settings{on, 0.97f, std::uint8_t(profile)}, cal), p);
        ASSERT_TRUE(low && lower && high);
        EXPECT_EQ(*low, *lower) << profile;
        EXPECT_NE(*low, *high) << profile;
    }
    // With no infrared detail anywhere the neighbours add nothing.
    const Flat plain(15, 15);
    EXPECT_EQ(rebuild(plain.view(), Params::make(Settings{950, 0.97f, 0}, cal), p),
              rebuild(plain.view(), Params::make(Settings{951, 0.97f, 0}, cal), p));
}

TEST(Rebuild, NeverDarkerAndRefusedAtOrBelowZeroDensity) {
    Flat flat(9, 9, 65000.0f, 0.5f);
    const std::uint32_t p = 4 * 9 + 4;
    flat.red[p] = flat.green[p] = flat.blue[p] = 60000;  // brighter than all around it
    const Calibration cal{0.0f, 65000.0f};
    const auto kept = rebuild(flat.view(), Params::make(Settings{300, 0.97f, 0}, cal), p);
    ASSERT_TRUE(kept);
    for (float d : *kept) EXPECT_EQ(d, density(60000));

    // The neighbourhood's gate far above the reference pulls the rebuilt density below zero.
    const auto refused = rebuild(flat.view(), Params::make(Settings{300, 0.97f, 0}, Calibration{0.0f, -1e6f}), p);
    EXPECT_FALSE(refused);
}

// ---- dust::clean on whole frames

struct CleanCase {
    std::uint8_t profile;
    std::uint32_t dpi;
};

class WholeFrame : public ::testing::TestWithParam<CleanCase> {};

double mean_abs_error(const Frame& f, const std::array<std::vector<std::uint16_t>, 3>& planes) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < f.drawn.size(); ++i) {
        if (!f.drawn[i]) continue;
        for (std::size_t ch = 0; ch < 3; ++ch) sum += std::abs(double(planes[ch][i]) - double(f.truth[ch][i]));
        n += 3;
    }
    return sum / double(n);
}

TEST_P(WholeFrame, RebuildsTheDrawnDefectsAndLeavesTheRestAlone) {
    const auto [profile, dpi] = GetParam();
    Frame f = make_frame({});
    const auto cal = calibrate(f.color[0], f.infrared, f.rows, f.cols);
    ASSERT_TRUE(cal);
    const Settings settings{dpi, 0.97f, profile};
    const Params params = Params::make(settings, *cal);

    // The defect list, by the stages.
    const auto g = gate(f.infrared, f.color[0], params.c, params);
    const auto listed = defect_list(decide(g, confidence(g, f.cols, params), f.rows, f.cols, params));
    std::vector<std::uint8_t> on_list(f.drawn.size(), 0);
    for (auto i : listed) on_list[i] = 1;
    const auto near_drawn = [&](std::size_t y, std::size_t x) {
        for (std::size_t yy = y ? y - 1 : 0; yy <= std::min(y + 1, f.rows - 1); ++yy) {
            for (std::size_t xx = x ? x - 1 : 0; xx <= std::min(x + 1, f.cols - 1); ++xx) {
                if (f.drawn[f.at(yy, xx)]) return true;
            }
        }
        return false;
    };
    const auto in_corner = [&](std::size_t y, std::size_t x) {
        const auto& o = f.opaque;
        return f.opaque.contains(y, x) && (y < o.top + 4 || y > o.bottom - 4) && (x < o.left + 4 || x > o.right - 4);
    };
    std::size_t drawn = 0;
    for (std::size_t y = 0; y < f.rows; ++y) {
        for (std::size_t x = 0; x < f.cols; ++x) {
            const std::size_t i = f.at(y, x);
            drawn += f.drawn[i];
            if (f.drawn[i]) {
                EXPECT_TRUE(on_list[i]) << "drawn defect missed at " << y << "," << x;
            }
            // Clean texture stays off the list (but for the pixels beside a defect that the
            // three-pixel minimum reaches); so does the opaque patch, but for its corners.
            if (on_list[i] && !f.drawn[i]) {
                EXPECT_TRUE(near_drawn(y, x) || in_corner(y, x) || (dpi > 550 && f.opaque.contains(y, x + 1)) ||
                            (dpi > 550 && x > 0 && f.opaque.contains(y, x - 1)))
                    << "clean pixel listed at " << y << "," << x;
            }
        }
    }

    const auto before = f.color;
    const std::size_t rebuilt = clean(f.planes(), f.infrared, *cal, f.rows, f.cols, settings);
    EXPECT_LE(rebuilt, listed.size());
    EXPECT_GE(rebuilt, drawn);
    for (std::size_t ch = 0; ch < 3; ++ch) {
        for (std::size_t i = 0; i < f.drawn.size(); ++i) {
            ASSERT_GE(f.color[ch][i], before[ch][i]) << "darker at " << i;
            if (!on_list[i]) {
                ASSERT_EQ(f.color[ch][i], before[ch][i]) << "changed off the list at " << i;
            }
        }
    }
    const double mae_before = mean_abs_error(f, before);
    const double mae_after = mean_abs_error(f, f.color);
    EXPECT_LT(mae_after, mae_before / 4) << mae_before << " -> " << mae_after;
}

INSTANTIATE_TEST_SUITE_P(Profiles, WholeFrame,
                         ::testing::Values(CleanCase{0, 4000}, CleanCase{0, 500}, CleanCase{1, 1200},
                                           CleanCase{1, 4000}, CleanCase{2, 2700}, CleanCase{2, 2400}),
                         [](const auto& info) {
                             return "profile" + std::to_string(info.param.profile) + "_" + std::to_string(info.param.dpi) + "dpi";
                         });

TEST(Clean, SameBitsOnOneThreadAndOnMany) {
    // Large enough for several chunks and many row tasks.
    const auto f0 = make_frame({.rows = 300, .cols = 420});
    const auto cal = calibrate(f0.color[0], f0.infrared, f0.rows, f0.cols);
    ASSERT_TRUE(cal);
    const Settings settings{4000, 0.97f, 0};
    const Params params = Params::make(settings, *cal);
    struct Run {
        std::vector<std::uint32_t> listed;
        std::array<std::vector<std::uint16_t>, 3> planes;
        std::size_t rebuilt;
    };
    const auto run = [&](std::size_t threads) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
        Frame f = f0;
        const auto g = gate(f.infrared, f.color[0], params.c, params);
        Run r;
        r.listed = defect_list(decide(g, confidence(g, f.cols, params), f.rows, f.cols, params));
        r.rebuilt = clean(f.planes(), f.infrared, *cal, f.rows, f.cols, settings);
        r.planes = f.color;
        return r;
    };
    const Run one = run(1);
    ASSERT_GT(one.rebuilt, 0u);
    for (const std::size_t threads : {2, 4, 8}) {
        const Run many = run(threads);
        EXPECT_EQ(many.listed, one.listed) << threads;
        EXPECT_EQ(many.rebuilt, one.rebuilt) << threads;
        EXPECT_TRUE(many.planes == one.planes) << threads;
    }
}

TEST(Clean, AReusedWorkspaceGivesTheBitsOfAFreshOne) {
    // Frames of a roll in an order that leaves stale images and lists behind: a damaged frame,
    // a smaller one, clear film with nothing to rebuild, the first again, its transpose, and a
    // thin strip.
    struct Shot {
        test_support::FramePlan plan;
        std::uint32_t dpi;
        std::uint8_t profile;
    };
    const Shot roll[] = {
        {{.rows = 300, .cols = 420}, 4000, 1},
        {{.rows = 61, .cols = 77, .crosstalk = -0.04}, 2700, 2},
        {{.rows = 120, .cols = 150, .opaque = false, .damage = false}, 4000, 0},
        {{.rows = 300, .cols = 420}, 4000, 1},
        {{.rows = 420, .cols = 300}, 900, 0},
        {{.rows = 2, .cols = 200, .opaque = false}, 4000, 0},
    };
    for (const std::size_t threads : {1, 2}) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
        Workspace workspace;
        for (std::size_t k = 0; k < std::size(roll); ++k) {
            const Shot& shot = roll[k];
            Frame fresh = make_frame(shot.plan);
            Frame reused = fresh;
            const auto cal = calibrate(fresh.color[0], fresh.infrared, fresh.rows, fresh.cols);
            ASSERT_TRUE(cal) << k;
            const Settings settings{shot.dpi, 0.97f, shot.profile};
            const std::size_t want = clean(fresh.planes(), fresh.infrared, *cal, fresh.rows, fresh.cols, settings);
            const std::size_t got =
                clean(reused.planes(), reused.infrared, *cal, reused.rows, reused.cols, settings, workspace);
            EXPECT_EQ(got, want) << "frame " << k << " on " << threads;
            EXPECT_TRUE(reused.color == fresh.color) << "frame " << k << " on " << threads;
            if (shot.plan.damage) EXPECT_GT(got, 0u) << k;
        }
        // Released, it starts afresh and still gives the same bits.
        workspace.release();
        Frame fresh = make_frame(roll[0].plan);
        Frame reused = fresh;
        const auto cal = calibrate(fresh.color[0], fresh.infrared, fresh.rows, fresh.cols);
        ASSERT_TRUE(cal);
        const Settings settings{4000, 0.97f, 1};
        EXPECT_EQ(clean(reused.planes(), reused.infrared, *cal, reused.rows, reused.cols, settings, workspace),
                  clean(fresh.planes(), fresh.infrared, *cal, fresh.rows, fresh.cols, settings));
        EXPECT_TRUE(reused.color == fresh.color);
    }
}

TEST(Clean, FramesWithNothingToRebuild) {
    struct Case {
        const char* name;
        std::uint16_t infrared;
        std::uint16_t colour;
    };
    // All clear film, or all opaque (with or without colour).
    for (const auto& c : {Case{"clear", 60000, 20000}, Case{"opaque", 50, 20000}, Case{"opaque black", 0, 0}}) {
        for (const auto& [rows, cols] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 40}, {40, 1}, {30, 30}}) {
            const std::size_t n = rows * cols;
            std::array<std::vector<std::uint16_t>, 3> planes;
            for (auto& p : planes) p.assign(n, c.colour);
            const std::vector<std::uint16_t> ir(n, c.infrared);
            EXPECT_EQ(clean({planes[0], planes[1], planes[2]}, ir, Calibration{0.0f, density(60000)}, rows, cols,
                            Settings{4000, 0.97f, 0}),
                      0u)
                << c.name << " " << rows << "x" << cols;
            for (auto& p : planes) EXPECT_EQ(p, std::vector<std::uint16_t>(n, c.colour)) << c.name;
        }
    }
}

TEST(Clean, ThinFramesAreCleanedWithinBounds) {
    for (const auto& [rows, cols] : {std::pair<std::size_t, std::size_t>{1, 60}, {60, 1}, {2, 60}, {60, 2}}) {
        Frame f = make_frame({.rows = rows, .cols = cols, .opaque = false, .damage = false});
        // Dust in the middle of the line.
        const std::size_t mid = rows * cols / 2;
        for (std::size_t i = mid; i < mid + 3; ++i) {
            f.infrared[i] = 15000;
            for (auto& p : f.color) p[i] = static_cast<std::uint16_t>(p[i] / 2);
        }
        const auto before = f.color;
        const auto cal = calibrate(f.color[0], f.infrared, rows, cols);
        ASSERT_TRUE(cal);
        const std::size_t rebuilt = clean(f.planes(), f.infrared, *cal, rows, cols, Settings{4000, 0.97f, 0});
        EXPECT_GE(rebuilt, 3u) << rows << "x" << cols;
        EXPECT_LE(rebuilt, 5u) << rows << "x" << cols;
        for (std::size_t ch = 0; ch < 3; ++ch) {
            for (std::size_t i = 0; i < f.color[ch].size(); ++i) ASSERT_GE(f.color[ch][i], before[ch][i]);
        }
    }
}

TEST(Clean, PixelsThatWouldGoBelowZeroDensityAreNotWritten) {
    // Two 3 x 3 specks on clear film under a reference far below the film, which pulls every
    // rebuilt density down by about 9000. On the left the red is almost black: the rebuilt red
    // there goes below zero, so those pixels keep their levels in all three planes and are not
    // counted. On the right the speck is rebuilt.
    const std::size_t rows = 20, cols = 40, n = rows * cols;
    std::array<std::vector<std::uint16_t>, 3> planes;
    for (auto& p : planes) p.assign(n, 30000);
    std::vector<std::uint16_t> ir(n, 60000);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % cols < 20) planes[0][i] = 1;
    }
    const auto speck = [&](std::size_t cy, std::size_t cx) {
        for (std::size_t y = cy - 1; y <= cy + 1; ++y) {
            for (std::size_t x = cx - 1; x <= cx + 1; ++x) {
                ir[y * cols + x] = 5000;
                for (auto& p : planes) p[y * cols + x] = std::max<std::uint16_t>(1, p[y * cols + x] / 10);
            }
        }
    };
    speck(10, 8);
    speck(10, 30);
    const auto before = planes;
    const Calibration cal{0.0f, density(60000) - 8000.0f};
    const std::size_t rebuilt =
        clean({planes[0], planes[1], planes[2]}, ir, cal, rows, cols, Settings{300, 0.97f, 0});
    EXPECT_EQ(rebuilt, 9u);
    for (std::size_t i = 0; i < n; ++i) {
        const bool right_speck = ir[i] == 5000 && i % cols >= 20;
        for (std::size_t ch = 0; ch < 3; ++ch) {
            if (right_speck) {
                EXPECT_GT(planes[ch][i], before[ch][i]) << i;
            } else {
                EXPECT_EQ(planes[ch][i], before[ch][i]) << i;
            }
        }
    }
}

TEST(Clean, PlanesThatDoNotFitTheFrameAreLeftAlone) {
    const std::size_t rows = 20, cols = 30, n = rows * cols;
    const auto f0 = make_frame({.rows = rows, .cols = cols, .opaque = false});
    const Calibration cal{0.06f, 65000.0f};
    const Settings settings{4000, 0.97f, 0};
    struct Case {
        const char* name;
        std::size_t rows, cols, red, green, blue, infrared;
    };
    const Case cases[] = {
        {"short infrared", rows, cols, n, n, n, n - 1},
        {"long green", rows, cols, n, n + 1, n, n},
        {"short blue", rows, cols, n, n, 0, n},
        {"no rows", 0, cols, n, n, n, n},
        {"no columns", rows, 0, n, n, n, n},
        {"rows times columns overflows", std::size_t{1} << 33, std::size_t{1} << 31, n, n, n, n},
        {"more pixels than 32-bit indices", std::size_t{1} << 16, std::size_t{1} << 16, n, n, n, n},
    };
    for (const auto& c : cases) {
        Frame f = f0;
        f.color[0].resize(c.red);
        f.color[1].resize(c.green);
        f.color[2].resize(c.blue);
        f.infrared.resize(c.infrared);
        const auto before = f.color;
        EXPECT_EQ(clean(f.planes(), f.infrared, cal, c.rows, c.cols, settings), 0u) << c.name;
        EXPECT_TRUE(f.color == before) << c.name;
    }
}

}  // namespace
}  // namespace vexlor::dust
