// The frame driver of dust removal: planes, profile, calibration and its refusals.
#include <gtest/gtest.h>

#include "cpp/dust/frame.hpp"
#include "cpp/refusal.hpp"
#include "diag/log.hpp"
#include "dust/dust.hpp"
#include "scan/clean.hpp"

namespace vexlor::scan::clean {
namespace {

using protocol::model::Model;
using test_support::expect_refused;

constexpr std::string_view TARGET = "vexlor::scan::clean";

pass::Pass pass_of(std::vector<std::uint8_t> channels, std::size_t rows, std::size_t cols, std::uint32_t dpi = 4000) {
    pass::Pass p;
    for (const std::uint8_t id : channels) p.started.layout.channels.emplace_back(id);
    p.started.layout.dpi = dpi;
    p.rows = rows;
    p.cols = cols;
    p.complete = true;
    return p;
}

// The samples of a synthetic frame in the order of `channels` (1 red, 2 green, 3 blue, 9 the
// infrared; other codes get a plane of their own).
protocol::decode::Samples samples_of(const test_support::Frame& f, const std::vector<std::uint8_t>& channels) {
    protocol::decode::Samples s;
    for (auto ch : channels) {
        if (ch == 9) {
            s.infrared = f.infrared;
        } else if (ch >= 1 && ch <= 3) {
            s.planes.push_back(f.color[ch - 1]);
        } else {
            s.planes.emplace_back(f.rows * f.cols, 1234);
        }
    }
    return s;
}

TEST(CleanFrame, Refusals) {
    const auto f = test_support::make_frame({.rows = 24, .cols = 32});
    struct Case {
        std::vector<std::uint8_t> channels;
        const char* reason;
    };
    const Case cases[] = {
        {{0, 9}, "needs a red, green and blue plane, this pass has [0]"},
        {{1, 2, 9}, "needs a red, green and blue plane, this pass has [1, 2]"},
        {{9}, "needs a red, green and blue plane, this pass has []"},
        {{4}, "needs a red, green and blue plane, this pass has [4]"},  // the planes are checked first
        {{1, 2, 3}, "needs the infrared pass"},
        {{3, 2, 1}, "needs the infrared pass"},
    };
    for (const auto& c : cases) {
        auto samples = samples_of(f, c.channels);
        const auto before = samples;
        expect_refused(clean_frame(samples, pass_of(c.channels, f.rows, f.cols), Model::Ls50), "clean", c.reason);
        EXPECT_EQ(samples, before);
    }
}

TEST(CleanFrame, NoClearFilmAnywhere) {
    auto f = test_support::make_frame({.rows = 24, .cols = 32});
    std::fill(f.infrared.begin(), f.infrared.end(), 8847);
    auto samples = samples_of(f, {1, 2, 3, 9});
    const auto before = samples;
    diag::Capture capture;
    expect_refused(clean_frame(samples, pass_of({1, 2, 3, 9}, f.rows, f.cols), Model::Ls5000), "clean",
                   "no clear film in this frame to calibrate against");
    EXPECT_TRUE(capture.contains(diag::Level::Warn, "no clear film in the decimated prescan, calibrating off the whole frame",
                                 TARGET));
    EXPECT_FALSE(capture.contains(diag::Level::Debug, "infrared calibration", TARGET));
    EXPECT_EQ(samples, before);
}

TEST(CleanFrame, PlanesThatDoNotMatchThePass) {
    const auto f = test_support::make_frame({.rows = 24, .cols = 32});
    struct Case {
        const char* name;
        std::size_t rows, cols;
        std::size_t plane;  // which plane of the samples is cut short (4 for the infrared, 5 for none)
    };
    const Case cases[] = {
        {"short green", 24, 32, 1}, {"short infrared", 24, 32, 4}, {"pass larger", 25, 32, 5},
        {"pass smaller", 24, 31, 5},
    };
    for (const auto& c : cases) {
        auto samples = samples_of(f, {1, 2, 3, 9});
        if (c.plane < 3) samples.planes[c.plane].pop_back();
        if (c.plane == 4) samples.infrared->pop_back();
        const auto before = samples;
        const auto r = clean_frame(samples, pass_of({1, 2, 3, 9}, c.rows, c.cols), Model::Ls50);
        expect_refused(r, "clean", fmt::format("the sample planes do not hold the pass's {} x {} samples", c.rows, c.cols));
        EXPECT_EQ(samples, before) << c.name;
    }
    // Fewer planes than the layout's colour channels.
    auto samples = samples_of(f, {1, 2, 9});
    EXPECT_FALSE(clean_frame(samples, pass_of({1, 2, 3, 9}, f.rows, f.cols), Model::Ls50).has_value());
}

TEST(CleanFrame, FramesTooLargeForTheCleanerAreRefused) {
    // The cleaner numbers pixels in 32 bits: a larger frame is refused, whatever its planes hold.
    const auto f = test_support::make_frame({.rows = 24, .cols = 32});
    const std::pair<std::size_t, std::size_t> sizes[] = {{65536, 65537}, {std::size_t{1} << 40, std::size_t{1} << 40}};
    for (const auto& [rows, cols] : sizes) {
        auto samples = samples_of(f, {1, 2, 3, 9});
        const auto before = samples;
        expect_refused(clean_frame(samples, pass_of({1, 2, 3, 9}, rows, cols), Model::Ls50), "clean",
                       fmt::format("a frame of {} x {} pixels is more than it can take (4294967295 at most)", rows, cols));
        EXPECT_EQ(samples, before);
    }
    // The largest it takes passes that check.
    auto samples = samples_of(f, {1, 2, 3, 9});
    const auto r = clean_frame(samples, pass_of({1, 2, 3, 9}, 65535, 65537), Model::Ls50);
    expect_refused(r, "clean", "the sample planes do not hold the pass's 65535 x 65537 samples");
}

TEST(CleanFrame, EmptyFrameHasNothingToRebuild) {
    protocol::decode::Samples samples;
    samples.planes.assign(3, {});
    samples.infrared.emplace();
    for (const auto& [rows, cols] : {std::pair<std::size_t, std::size_t>{0, 0}, {0, 40}, {40, 0}}) {
        const auto r = clean_frame(samples, pass_of({1, 2, 3, 9}, rows, cols), Model::Ls50);
        ASSERT_TRUE(r.has_value()) << rows << "x" << cols;
        EXPECT_EQ(*r, 0u);
    }
}

TEST(CleanFrame, ProfileByModelPlanesByChannelOrder) {
    const auto f = test_support::make_frame({.rows = 40, .cols = 56});
    const auto cal = dust::calibrate(f.color[0], f.infrared, f.rows, f.cols);
    ASSERT_TRUE(cal);
    // What dust::clean makes of the frame under each profile.
    std::array<std::array<std::vector<std::uint16_t>, 3>, 3> want;
    std::array<std::size_t, 3> count{};
    for (std::uint8_t profile = 0; profile < 3; ++profile) {
        auto g = f;
        count[profile] = dust::clean(g.planes(), g.infrared, *cal, g.rows, g.cols, dust::Settings{2700, 0.97f, profile});
        want[profile] = g.color;
    }
    ASSERT_GT(count[0], 0u);
    ASSERT_NE(want[0], want[1]);
    ASSERT_NE(want[1], want[2]);

    struct Case {
        std::optional<Model> model;
        std::uint8_t profile;
    };
    const Case cases[] = {
        {Model::Ls40, 2},   {Model::Ls50, 2},   {Model::Ls4000, 1}, {Model::Ls5000, 1},
        {Model::Ls8000, 0}, {Model::Ls9000, 0}, {std::nullopt, 0},
    };
    // Blue first, a second red window that is not used, and the infrared in the middle.
    const std::vector<std::uint8_t> channels{3, 9, 1, 2, 1};
    for (const auto& c : cases) {
        auto samples = samples_of(f, channels);
        samples.planes[3].assign(samples.planes[3].size(), 777);
        diag::Capture capture;
        const auto r = clean_frame(samples, pass_of(channels, f.rows, f.cols, 2700), c.model);
        ASSERT_TRUE(r.has_value()) << error::debug_string(r.error());
        EXPECT_EQ(*r, count[c.profile]);
        EXPECT_EQ(samples.planes[1], want[c.profile][0]);
        EXPECT_EQ(samples.planes[2], want[c.profile][1]);
        EXPECT_EQ(samples.planes[0], want[c.profile][2]);
        EXPECT_EQ(samples.planes[3], std::vector<std::uint16_t>(f.rows * f.cols, 777));
        EXPECT_EQ(samples.infrared, f.infrared);
        EXPECT_EQ(capture.contains(diag::Level::Warn, "unrecognized scanner, cleaning with a default profile", TARGET),
                  !c.model.has_value());
        const auto debug = capture.find(diag::Level::Debug, "infrared calibration", TARGET);
        ASSERT_EQ(debug.size(), 1u);
        EXPECT_EQ(*debug[0].value("cal"), dust::debug_string(*cal));
        EXPECT_EQ(*debug[0].value("step"), "1");
        EXPECT_FALSE(capture.contains(diag::Level::Warn, "no clear film in the decimated prescan, calibrating off the whole frame"));
    }
}

TEST(CleanFrame, FallsBackToTheWholeFrameWhenTheDecimatedOneHasNoClearFilm) {
    // Ten million pixels: step 2, which samples rows 0 and 2 only. The clear film is in rows 1
    // and 3; rows 0 and 2 are opaque.
    const std::size_t rows = 4, cols = 2'500'000;
    protocol::decode::Samples samples;
    samples.planes.assign(3, std::vector<std::uint16_t>(rows * cols, 20000));
    samples.infrared.emplace(rows * cols, 100);
    for (std::size_t y : {1, 3}) std::fill_n(samples.infrared->begin() + y * cols, cols, 60000);
    diag::Capture capture;
    const auto r = clean_frame(samples, pass_of({1, 2, 3, 9}, rows, cols, 300), Model::Ls8000);
    ASSERT_TRUE(r.has_value()) << error::debug_string(r.error());
    EXPECT_EQ(*r, 0u);
    EXPECT_TRUE(capture.contains(diag::Level::Warn, "no clear film in the decimated prescan, calibrating off the whole frame",
                                 TARGET));
    const auto debug = capture.find(diag::Level::Debug, "infrared calibration", TARGET);
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(*debug[0].value("step"), "2");
    EXPECT_EQ(*debug[0].value("cal"), dust::debug_string(dust::Calibration{0.0f, dust::density(60000)}));
}

TEST(CleanFrame, ASessionsWorkspaceGivesTheBitsOfAFreshOne) {
    // A frame of ten million pixels calibrates on decimated planes (step 2), which the workspace
    // keeps in the memory of a later image; then a small frame; then the large one again.
    const auto strip = test_support::make_frame({.rows = 80, .cols = 5000});
    const std::size_t repeats = 25;
    test_support::Frame large;
    large.rows = strip.rows * repeats;
    large.cols = strip.cols;
    for (std::size_t r = 0; r < repeats; ++r) {
        for (std::size_t ch = 0; ch < 3; ++ch) large.color[ch].insert(large.color[ch].end(), strip.color[ch].begin(), strip.color[ch].end());
        large.infrared.insert(large.infrared.end(), strip.infrared.begin(), strip.infrared.end());
    }
    const auto small = test_support::make_frame({.rows = 40, .cols = 56});
    const std::vector<std::uint8_t> channels{1, 2, 3, 9};
    dust::Workspace workspace;
    const test_support::Frame* roll[] = {&large, &small, &large};
    for (const auto* f : roll) {
        auto fresh = samples_of(*f, channels);
        auto reused = fresh;
        const auto pass = pass_of(channels, f->rows, f->cols);
        const auto want = clean_frame(fresh, pass, Model::Ls5000);
        const auto got = clean_frame(reused, pass, Model::Ls5000, &workspace);
        ASSERT_TRUE(want.has_value() && got.has_value());
        EXPECT_GT(*got, 0u);
        EXPECT_EQ(*got, *want);
        EXPECT_TRUE(reused == fresh) << f->rows << "x" << f->cols;
    }
}

TEST(Decimate, OneSampleOfEachWholeBlock) {
    std::vector<std::uint16_t> plane(7 * 10);
    for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = static_cast<std::uint16_t>(i);
    struct Case {
        std::size_t width, step;
        std::vector<std::uint16_t> want;
    };
    const Case cases[] = {
        {10, 3, {0, 3, 6, 30, 33, 36}},  // 7 rows of 10: 2 rows of 3, partial blocks dropped
        {10, 4, {0, 4}},
        {10, 7, {0}},
        {10, 8, {}},  // fewer rows than one block
        {70, 2, {}},
        {35, 1, std::vector<std::uint16_t>(plane.begin(), plane.end())},
        {0, 2, {}},
        {10, 0, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(decimate(plane, c.width, c.step), c.want) << c.width << " " << c.step;
}

TEST(Decimate, StepForTheFrameSize) {
    const std::pair<std::size_t, std::size_t> cases[] = {
        {0, 1},          {9'999'999, 1},  {10'000'000, 2}, {22'941'600, 3},  // a 4000-dpi 135 frame
        {24'000'000, 3}, {39'999'999, 3}, {40'000'000, 4}, {116'160'000, 6},
    };
    for (const auto& [pixels, step] : cases) EXPECT_EQ(decimation_step(pixels), step) << pixels;
    // A 4,000 x 6,000 frame calibrates on 1,333 x 2,000 samples.
    const std::vector<std::uint16_t> plane(std::size_t{4000} * 6000);
    EXPECT_EQ(decimate(plane, 6000, decimation_step(plane.size())).size(), std::size_t{1333} * 2000);
}

}  // namespace
}  // namespace vexlor::scan::clean
