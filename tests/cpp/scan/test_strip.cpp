// The strip finder and the thumbnail analysis around it, on synthetic thumbnails.
#include <gtest/gtest.h>

#include <limits>

#include <random>

#include "cpp/refusal.hpp"
#include "diag/log.hpp"
#include "scan/strip.hpp"
#include "scan/thumbnail.hpp"

namespace vexlor::scan {
namespace {

// A thumbnail: rows across the film, columns along it; frames of textured picture on flat base.
struct Thumb {
    std::size_t rows = 60, cols = 0;
    std::vector<std::vector<std::uint16_t>> planes;

    protocol::decode::Image image() const {
        protocol::decode::Image i;
        for (const auto& p : planes) i.planes.emplace_back(p);
        i.width = rows;
        i.ready = cols;
        i.lines = cols;
        i.bits = 16;
        return i;
    }
};

struct Strip {
    std::size_t cols;
    std::size_t first;  // column of the first frame
    std::size_t pitch;
    std::size_t frame;  // columns of picture
    std::size_t count;
    std::vector<std::size_t> missing{};  // frames left blank
    double noise = 0;                     // flat noise on everything, as a fraction of full scale
    double contrast = 0.3;                // texture amplitude of a frame
    std::vector<int> shift{};             // columns each frame sits off the regular grid
};

int shift_of(const Strip& s, std::size_t k) { return k < s.shift.size() ? s.shift[k] : 0; }

Thumb draw(const Strip& s, std::uint32_t seed = 1) {
    Thumb t;
    t.cols = s.cols;
    std::mt19937 gen(seed);
    std::normal_distribution<double> grain(0.0, 1.0);
    for (int p = 0; p < 3; ++p) {
        std::vector<std::uint16_t> plane(t.rows * t.cols);
        for (std::size_t r = 0; r < t.rows; ++r) {
            for (std::size_t c = 0; c < t.cols; ++c) {
                double v = 0.8;  // clear base
                for (std::size_t k = 0; k < s.count; ++k) {
                    const auto a = static_cast<std::size_t>(static_cast<int>(s.first + k * s.pitch) + shift_of(s, k));
                    if (c >= a && c < a + s.frame &&
                        std::find(s.missing.begin(), s.missing.end(), k) == s.missing.end()) {
                        v = 0.45 + s.contrast * std::sin(0.7 * static_cast<double>(r) + 0.3 * static_cast<double>(c) * (p + 1)) *
                                       std::cos(0.11 * static_cast<double>(r * c));
                    }
                }
                v += s.noise * grain(gen);
                plane[r * t.cols + c] = static_cast<std::uint16_t>(std::clamp(v, 0.0, 1.0) * 65535.0);
            }
        }
        t.planes.push_back(std::move(plane));
    }
    return t;
}

// Every fitted frame lies within `slack` columns of a drawn one, and of its shift off the grid.
void expect_frames(const strip::Fit& fit, const Strip& s, std::size_t slack, const char* name) {
    ASSERT_EQ(fit.frames.size(), s.count) << name;
    int off = 0;
    for (const int d : s.shift) off = std::max(off, std::abs(d));
    slack += static_cast<std::size_t>(off);
    for (std::size_t k = 0; k < s.count; ++k) {
        const double drawn = static_cast<double>(s.first + k * s.pitch) + shift_of(s, k) + static_cast<double>(s.frame) / 2;
        const double found = static_cast<double>(fit.frames[k].first + fit.frames[k].second) / 2;
        EXPECT_NEAR(found, drawn, static_cast<double>(slack)) << name << ", frame " << k;
    }
}

TEST(Strip, FitsTheGridOfFrames) {
    struct Case {
        const char* name;
        Strip strip;
        std::size_t expected;  // frame length handed to the finder
    };
    const std::vector<Case> cases = {
        {"clean", {420, 12, 64, 56, 6}, 60},
        {"noisy", {420, 12, 64, 56, 6, {}, 0.02}, 60},
        {"low contrast", {420, 12, 64, 56, 6, {}, 0.0, 0.05}, 60},
        {"a missing frame", {420, 12, 64, 56, 6, {3}}, 60},
        {"started late", {460, 70, 64, 56, 5}, 60},
        {"irregular gaps", {420, 12, 64, 56, 6, {}, 0.0, 0.3, {0, 3, -2, 4, -3, 1}}, 60},
    };
    for (const auto& c : cases) {
        const auto fit = strip::find(draw(c.strip).image(), c.expected);
        ASSERT_TRUE(fit) << c.name;
        EXPECT_NEAR(static_cast<double>(fit->pitch), static_cast<double>(c.strip.pitch), 1.0) << c.name;
        EXPECT_GT(fit->contrast, 0.0f) << c.name;
        expect_frames(*fit, c.strip, 4, c.name);
    }
}

TEST(Strip, FindsNothingWhereThereIsNothing) {
    EXPECT_FALSE(strip::find(draw({420, 12, 64, 56, 6}).image(), 0));
    Thumb thin = draw({420, 12, 64, 56, 6});
    thin.rows = 17;  // fewer than 18 rows: no signal
    for (auto& p : thin.planes) p.resize(17 * thin.cols);
    EXPECT_FALSE(strip::find(thin.image(), 60));
    EXPECT_FALSE(strip::find(draw({420, 0, 64, 0, 0}).image(), 60));  // bare film
    Thumb none;
    none.cols = 0;
    none.planes.assign(3, {});
    EXPECT_FALSE(strip::find(none.image(), 60));
    // A strip shorter than one frame.
    EXPECT_FALSE(strip::find(draw({30, 2, 64, 26, 1}).image(), 60));
    // A thumbnail of one column.
    EXPECT_FALSE(strip::find(draw({1, 0, 64, 1, 1}).image(), 60));
    // Planes shorter than the image claims to be are read as holding nothing, not past their end.
    Thumb short_planes = draw({420, 12, 64, 56, 6});
    for (auto& p : short_planes.planes) p.resize(p.size() / 2);
    EXPECT_FALSE(strip::find(short_planes.image(), 60));
}

TEST(Strip, DetailAndDisagreement) {
    const auto d = strip::Detail::make({0.5f, 0.2f, 0.9f, 0.2f, 0.7f, 0.1f}, std::vector<float>(6, 0.0f));
    EXPECT_EQ(d.cumulative.size(), 7u);
    EXPECT_FLOAT_EQ(d.cumulative[6], 2.6f);
    EXPECT_EQ(d.minima, (std::vector<std::size_t>{1, 1, 1, 5, 5, 5}));
    // Minima by the floats' total order: -0.0 lies below +0.0, a negative NaN below everything,
    // a positive NaN above everything.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto z = strip::Detail::make({0.0f, -0.0f, 0.3f, nan, 0.4f, -nan, 0.2f}, std::vector<float>(7, 0.0f));
    EXPECT_EQ(z.minima, (std::vector<std::size_t>{1, 1, 1, 5, 5, 5, 5}));
    // Upper medians at index 2, of five and of four values.
    EXPECT_FLOAT_EQ(strip::disagreement(std::vector<float>{0.1f, 0.5f, 0.2f, 0.9f, 0.4f}), 0.2f);
    EXPECT_FLOAT_EQ(strip::disagreement(std::vector<float>{0.0f, 1.0f, 0.4f, 0.6f}), 0.4f);
}

protocol::caps::Capabilities feed(std::uint32_t origin_min, std::uint32_t origin_max) {
    protocol::caps::Capabilities c;
    c.address.x.optical_dpi = c.address.y.optical_dpi = 4000;
    c.address.y.origin_min = origin_min;
    c.address.y.origin_max = origin_max;
    c.address.y.max_extent = origin_max;
    c.address.thumbnail_dpi_min = 500;
    return c;
}

// Standing still at 0, then `columns` readings climbing by `quarters` from 1, then still again.
std::vector<protocol::data::PerforationInformation> perfs(std::size_t still, std::size_t columns, std::uint32_t quarters) {
    std::vector<protocol::data::PerforationInformation> r;
    auto at = [](std::uint32_t q) {
        protocol::data::PerforationInformation p;
        p.perf_number = static_cast<std::uint16_t>(10 + q / 4);
        p.perf_decimal = static_cast<std::uint8_t>(q % 4);
        return p;
    };
    for (std::size_t i = 0; i < still; ++i) r.push_back(at(0));
    for (std::size_t i = 0; i <= columns; ++i) r.push_back(at(1 + static_cast<std::uint32_t>(quarters * i / std::max<std::size_t>(columns, 1))));
    for (std::size_t i = 0; i < still; ++i) r.push_back(at(1 + quarters));
    return r;
}

TEST(Thumbnail, LinePitchFromPerforations) {
    const auto caps = feed(0, 40000);
    // 400 columns between the standstills at a nominal 8 addresses a column.
    EXPECT_EQ(thumbnail::LinePitch::measured(caps, perfs(5, 400, 17)), (thumbnail::LinePitch{3179, 400}));
    EXPECT_EQ(thumbnail::LinePitch::measured(caps, perfs(5, 400, 80)), std::nullopt);  // 14960 is far off 3200
    EXPECT_EQ(thumbnail::LinePitch::measured(caps, perfs(5, 30, 15)), std::nullopt);   // moved too little
    EXPECT_EQ(thumbnail::LinePitch::measured(caps, std::vector(8, perfs(1, 0, 0).front())), std::nullopt);  // never moved
    EXPECT_EQ(thumbnail::LinePitch::measured(caps, {}), std::nullopt);
}

TEST(Thumbnail, TopsAreClampedToTheAxis) {
    // A strip whose first frame starts at column 0 and whose last runs off the end.
    const Strip s{420, 0, 64, 56, 7};
    const Thumb thumb = draw(s);
    const auto image = thumb.image();
    // The axis ends at column 260 of the strip: later frames are held at its end.
    const auto caps = feed(1000, 1000 + 260 * 8);
    const auto t = thumbnail::tops(caps, image, 8, 1, 60 * 8);
    ASSERT_TRUE(t);

    ASSERT_FALSE(t->tops.empty());
    EXPECT_EQ(t->tops.back(), caps.address.y.origin_max - 60 * 8);
    for (const auto top : t->tops) {
        EXPECT_GE(top, caps.address.y.origin_min);
        EXPECT_LE(top, caps.address.y.origin_max - 60 * 8);
    }
    // An axis shorter than one frame has no tops.
    const auto none = thumbnail::tops(feed(0, 100), image, 8, 1, 480);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->tops.empty());
}

TEST(Thumbnail, PassImageStopsAtTheLastColumnWithData) {
    scan::pass::Pass p;
    p.started.layout.channels = {protocol::window::Channel(1)};
    p.started.layout.pixels = 3;
    p.started.layout.lines = 10;
    p.started.layout.interleaving = protocol::caps::set_window::interleaving::LINE_WITHOUT_DISTANCE;
    p.started.layout.sample_bytes = 2;
    p.started.layout.bits = 16;
    p.rows = 3;
    p.cols = 10;
    protocol::decode::Samples s;
    s.planes.assign(1, std::vector<std::uint16_t>(30, 0));
    auto image = p.image(s);
    ASSERT_TRUE(image) << error::debug_string(image.error());
    EXPECT_EQ(image->ready, 0u);
    s.planes[0][1 * 10 + 5] = 7;  // row 1, column 5
    image = p.image(s);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->ready, 6u);
    // Planes of the wrong size are refused, not read past their end.
    protocol::caps::Capabilities caps = feed(0, 40000);
    for (const std::size_t size : {std::size_t{29}, std::size_t{0}}) {
        s.planes[0].assign(size, 9);
        EXPECT_FALSE(p.image(s));
        EXPECT_FALSE(thumbnail::frames(caps, p, s, 480));
    }
    s.planes.clear();
    EXPECT_FALSE(thumbnail::frames(caps, p, s, 480));
}

}  // namespace
}  // namespace vexlor::scan
