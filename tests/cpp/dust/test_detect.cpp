// Finding defect pixels: confidence, the opaque runs, and the decision.
#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "dust/dust.hpp"

namespace vexlor::dust {
namespace {

// Clean film well above the clean level; DIRT lowers the confidence to its floor without
// being opaque; OPAQUE is below the opaque level.
constexpr float CLEAN = 66000.0f;
constexpr float DIRT = 60000.0f;
constexpr float OPAQUE = 40000.0f;

Params params_at(std::uint32_t dpi) { return Params::make(Settings{dpi, 0.97f, 0}, Calibration{0.0f, 65500.0f}); }

// True when every pixel of the clamped window of half-width 4 around (y, x) along a row (or
// down a column) is set: what the two 3-tap passes must come to.
bool run9(const Mask& m, std::size_t rows, std::size_t cols, std::size_t y, std::size_t x, bool along_row) {
    const std::size_t n = along_row ? cols : rows;
    const std::size_t at = along_row ? x : y;
    for (std::size_t k = at >= 4 ? at - 4 : 0; k <= std::min(at + 4, n - 1); ++k) {
        if (!m[along_row ? y * cols + k : k * cols + x]) return false;
    }
    return true;
}

TEST(Runs, TwoThreeTapPassesMakeNinePixelRuns) {
    std::mt19937 rng(11);
    const std::pair<std::size_t, std::size_t> shapes[] = {{1, 1}, {1, 7}, {7, 1}, {2, 2}, {5, 13}, {13, 5}, {24, 24}};
    for (const auto& [rows, cols] : shapes) {
        for (const double density : {0.8, 0.95, 1.0}) {
            Mask m(rows * cols);
            std::bernoulli_distribution set(density);
            for (auto& b : m) b = set(rng);
            const Mask h = and3_cols(and3_cols(m, cols, 1), cols, 3);
            const Mask v = and3_rows(and3_rows(m, rows, cols, 1), rows, cols, 3);
            for (std::size_t y = 0; y < rows; ++y) {
                for (std::size_t x = 0; x < cols; ++x) {
                    ASSERT_EQ(h[y * cols + x], run9(m, rows, cols, y, x, true)) << rows << "x" << cols << " " << y << "," << x;
                    ASSERT_EQ(v[y * cols + x], run9(m, rows, cols, y, x, false)) << rows << "x" << cols << " " << y << "," << x;
                }
            }
        }
    }
}

TEST(Runs, WorkedCases) {
    struct Case {
        const char* row;  // one row of the mask
        const char* h;    // the run mask it gives
    };
    const Case cases[] = {
        {"...#....", "........"},                  // a single pixel is no run
        {"#####.......", "#..........."},          // a run of 5 from the row start counts at column 0
        {"..###########..", "......###......"},    // 11 in a row: all but the outer 4 at each end
        {"#########", "#########"},                // the window shrinks at both ends
        {"#", "#"},
    };
    for (const auto& c : cases) {
        const std::string row = c.row;
        Mask m(row.size());
        for (std::size_t i = 0; i < row.size(); ++i) m[i] = row[i] == '#';
        const Mask h = and3_cols(and3_cols(m, row.size(), 1), row.size(), 3);
        std::string got;
        for (auto b : h) got += b ? '#' : '.';
        EXPECT_EQ(got, c.h) << c.row;
        // The same mask as a column.
        const Mask v = and3_rows(and3_rows(m, row.size(), 1, 1), row.size(), 1, 3);
        EXPECT_EQ(v, h) << c.row;
    }
}

TEST(Confidence, FollowsTheGateBelowTheCleanLevel) {
    const Params p = params_at(300);
    const float cl = p.clean_level;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> gate{cl + 500.0f, cl, cl - 480.21f, cl - 941.0f, cl - 942.0f, cl - 5000.0f};
    const auto conf = confidence(gate, gate.size(), p);
    EXPECT_EQ(conf[0], 1.0f);
    EXPECT_EQ(conf[1], 1.0f);
    EXPECT_NEAR(conf[2], 0.5f, 1e-4);
    EXPECT_NEAR(conf[3], 0.0202f, 1e-4);
    EXPECT_EQ(conf[4], 0.02f);
    EXPECT_EQ(conf[5], 0.02f);
    EXPECT_TRUE(std::isnan(confidence(std::vector<float>{nan}, 1, p)[0]));
}

TEST(Confidence, ThreePixelMinimumAlongRowsAbove550Dpi) {
    // 3 x 5, one low gate value in the middle.
    const std::size_t rows = 3, cols = 5;
    std::vector<float> gate(rows * cols, CLEAN);
    gate[1 * cols + 2] = DIRT;
    const auto low = [](std::span<const float> conf) {
        std::string s;
        for (float c : conf) s += c < 1.0f ? '#' : '.';
        return s;
    };
    EXPECT_EQ(low(confidence(gate, cols, params_at(550))), ".....""..#..""....." );
    EXPECT_EQ(low(confidence(gate, cols, params_at(551))), "....."".###.""....." );

    // The first and last pixel of a row look at two values, a one-pixel row at one; a NaN
    // neighbour is passed over.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Params p = params_at(4000);
    std::vector<float> row{DIRT, CLEAN, CLEAN, CLEAN, DIRT};
    EXPECT_EQ(low(confidence(row, 5, p)), "##.##");
    EXPECT_EQ(low(confidence(std::vector<float>{CLEAN, nan, CLEAN}, 3, p)), "...");
    EXPECT_EQ(low(confidence(std::vector<float>{DIRT}, 1, p)), "#");
    EXPECT_EQ(low(confidence(std::vector<float>{CLEAN}, 1, p)), ".");
    EXPECT_EQ(low(confidence(std::vector<float>{DIRT, CLEAN, CLEAN}, 1, p)), "#..");  // three one-pixel rows
}

// A frame of gate values drawn from a picture: '.' clean, 'd' dirt, '#' opaque.
struct Picture {
    std::size_t rows = 0, cols = 0;
    std::vector<float> gate;
    explicit Picture(std::initializer_list<const char*> lines) {
        for (const char* l : lines) {
            const std::string line = l;
            cols = line.size();
            ++rows;
            for (char ch : line) gate.push_back(ch == '#' ? OPAQUE : ch == 'd' ? DIRT : CLEAN);
        }
    }
    std::string defects(const Params& p) const {
        const auto conf = confidence(gate, cols, p);
        const Mask d = decide(gate, conf, rows, cols, p);
        std::string s;
        for (std::size_t i = 0; i < d.size(); ++i) s += (d[i] ? 'D' : '.') + std::string(i % cols == cols - 1 ? "\n" : "");
        return s;
    }
};

TEST(Decide, CleanFilmHasNoDefects) {
    const Picture clean({"........", "........", "........"});
    EXPECT_EQ(clean.defects(params_at(4000)), "........\n........\n........\n");
}

TEST(Decide, OpaqueRunsFourPixelsAwayVouchForAPixel) {
    const Params p = params_at(300);
    // Dirt in row 0 looks at the runs of rows 0 and 4 (the row above clamps to row 0) and is
    // taken for the edge of the opaque line in row 4; in row 1 it looks at rows 0 and 5 and
    // stays a defect. The opaque line itself has runs along its own row only, not four rows
    // away nor down any column: a dense hair, not an opaque area.
    const Picture picture({
        "..dd.........",
        "..dd.........",
        ".............",
        ".............",
        "#############",
        ".............",
    });
    EXPECT_EQ(picture.defects(p),
              ".............\n"
              "..DD.........\n"
              ".............\n"
              ".............\n"
              "DDDDDDDDDDDDD\n"
              ".............\n");
}

TEST(Decide, InsideAnOpaqueAreaOnlyTheCornersAreCandidates) {
    // Every pixel of the area but its 4 x 4 corners has a whole run four rows or four columns
    // away from it.
    const Picture picture({
        "................",
        "................",
        "................",
        "...##########...",
        "...##########...",
        "...##########...",
        "...##########...",
        "...##########...",
        "...##########...",
        "...##########...",
        "...##########...",
        "...##########...",
        "...##########...",
        "................",
        "................",
        "................",
    });
    EXPECT_EQ(picture.defects(params_at(300)),
              "................\n"
              "................\n"
              "................\n"
              "...DDDD..DDDD...\n"
              "...DDDD..DDDD...\n"
              "...DDDD..DDDD...\n"
              "...DDDD..DDDD...\n"
              "................\n"
              "................\n"
              "...DDDD..DDDD...\n"
              "...DDDD..DDDD...\n"
              "...DDDD..DDDD...\n"
              "...DDDD..DDDD...\n"
              "................\n"
              "................\n"
              "................\n");
}

TEST(Decide, AgreesWithTheRunImagesOnRandomFrames) {
    // The decision from whole H and V images built with the two 3-tap passes, beside decide.
    std::mt19937 rng(5);
    const Params p = params_at(4000);
    for (const auto& [rows, cols] : {std::pair<std::size_t, std::size_t>{1, 1}, {3, 17}, {17, 3}, {9, 9}, {31, 45}}) {
        for (const double opaque_share : {0.3, 0.7, 0.95}) {
            std::vector<float> gate(rows * cols);
            std::discrete_distribution<int> pick({opaque_share, (1 - opaque_share) / 2, (1 - opaque_share) / 2});
            for (auto& g : gate) g = std::array{OPAQUE, DIRT, CLEAN}[pick(rng)];
            const auto conf = confidence(gate, cols, p);
            Mask opaque(gate.size());
            for (std::size_t i = 0; i < gate.size(); ++i) opaque[i] = gate[i] < p.opaque;
            const Mask h = and3_cols(and3_cols(opaque, cols, 1), cols, 3);
            const Mask v = and3_rows(and3_rows(opaque, rows, cols, 1), rows, cols, 3);
            const Mask got = decide(gate, conf, rows, cols, p);
            for (std::size_t y = 0; y < rows; ++y) {
                for (std::size_t x = 0; x < cols; ++x) {
                    const bool vouched = h[(y >= 4 ? y - 4 : 0) * cols + x] || h[std::min(y + 4, rows - 1) * cols + x] ||
                                         v[y * cols + (x >= 4 ? x - 4 : 0)] || v[y * cols + std::min(x + 4, cols - 1)];
                    const bool want = conf[y * cols + x] < 1.0f && !vouched;
                    ASSERT_EQ(got[y * cols + x], want) << rows << "x" << cols << " at " << y << "," << x;
                }
            }
        }
    }
}

TEST(Decide, TinyAndDegenerateFrames) {
    const Params p = params_at(4000);
    EXPECT_EQ(Picture({"d"}).defects(p), "D\n");
    EXPECT_EQ(Picture({"#"}).defects(p), ".\n");  // a one-pixel opaque frame is all run
    EXPECT_EQ(Picture({"..d......"}).defects(p), ".DDD.....\n");
    EXPECT_EQ(Picture({".", "d", ".", "."}).defects(p), ".\nD\n.\n.\n");
    // A line one pixel wide is its own whole run across: one opaque pixel vouches for its line.
    EXPECT_EQ(Picture({"..d..#"}).defects(p), "......\n");
    EXPECT_EQ(Picture({".", "d", ".", "#"}).defects(p), ".\n.\n.\n.\n");
    EXPECT_EQ(Picture({"####", "####"}).defects(p), "....\n....\n");
    // Sizes that do not add up give an empty mask rather than reading past the images.
    const std::vector<float> gate(6, DIRT);
    EXPECT_TRUE(decide(gate, confidence(gate, 3, p), 3, 3, p).empty());
    EXPECT_TRUE(decide({}, {}, 0, 5, p).empty());
    EXPECT_TRUE(decide(gate, gate, std::size_t{1} << 62, 8, p).empty());
}

TEST(DefectList, AscendingIndicesOfTheSetPixels) {
    Mask m(200'003, 0);
    std::vector<std::uint32_t> want;
    for (std::uint32_t i = 0; i < m.size(); i += 1 + i % 97) {
        m[i] = 1;
        want.push_back(i);
    }
    EXPECT_EQ(defect_list(m), want);
    EXPECT_TRUE(defect_list({}).empty());
}

}  // namespace
}  // namespace vexlor::dust
