#include <gtest/gtest.h>

#include "protocol/curves.hpp"

using namespace vexlor::protocol;
using curves::Curves;

namespace {

using Points = std::vector<std::uint16_t>;

bool is_identity(const std::vector<std::uint16_t>& t) {
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] != i) return false;
    }
    return t.size() == curves::TABLE_SIZE;
}

}  // namespace

TEST(CurveTable, Entries) {
    struct Case {
        Points xs, ys;
        std::vector<std::pair<std::uint32_t, std::uint16_t>> entries;  // input, entry
    };
    const Case cases[] = {
        // Identity below the first point; the last segment extrapolated.
        {{1000, 3000}, {500, 2500}, {{0, 0}, {999, 999}, {1000, 500}, {2000, 1500}, {3000, 2500}, {65535, 65035}}},
        // A falling segment extrapolated and clamped at 0.
        {{1000, 3000}, {3000, 1000}, {{2000, 2000}, {3000, 1000}, {3999, 1}, {4000, 0}, {65535, 0}}},
        // A steep rising segment clamped at 65535.
        {{0, 100}, {0, 10000}, {{50, 5000}, {655, 65500}, {656, 65535}, {65535, 65535}}},
        // Quotients truncate toward zero: 2 / 3 = 0, and -2 / 3 = 0 on the falling segment.
        {{0, 3, 6}, {10, 12, 10}, {{1, 10}, {2, 11}, {3, 12}, {4, 12}, {5, 11}, {6, 10}}},
        // A repeated point: the zero-width segment is stepped over.
        {{100, 200, 200, 300}, {0, 50, 60, 70}, {{150, 25}, {199, 49}, {200, 60}, {250, 65}}},
    };
    for (const auto& c : cases) {
        const auto t = curves::table(c.xs, c.ys);
        ASSERT_EQ(t.size(), curves::TABLE_SIZE);
        for (const auto& [i, want] : c.entries) EXPECT_EQ(t[i], want) << "input " << i << " of xs " << c.xs[0];
        // A table that keeps every step-th input holds those entries of the whole one.
        for (const std::size_t step : {64u, 1000u}) {
            const auto short_table = curves::table(c.xs, c.ys, step);
            ASSERT_EQ(short_table.size(), (curves::TABLE_SIZE + step - 1) / step);
            for (std::size_t k = 0; k < short_table.size(); ++k) ASSERT_EQ(short_table[k], t[k * step]) << step << " " << k;
        }
    }
}

TEST(CurveTable, NonRisingLastSegmentIsTheIdentity) {
    // xs falls from 3000 to 1000: inputs past 3000 find no higher point and fall to the last
    // segment, which does not rise.
    const auto t = curves::table(Points{1000, 3000, 1000}, Points{0, 100, 200});
    EXPECT_EQ(t[1500], 25);  // the first segment, inputs 1000..2999
    EXPECT_EQ(t[3000], 3000);
    EXPECT_EQ(t[65535], 65535);
}

TEST(CurveTable, IdentityCases) {
    EXPECT_TRUE(is_identity(curves::table(Points{0, 1000, 20000, 65535}, Points{0, 1000, 20000, 65535})));
    EXPECT_TRUE(is_identity(curves::table(Points{5, 10}, Points{5, 10})));
    // Fewer than two points cannot make a segment.
    EXPECT_TRUE(is_identity(curves::table(Points{5}, Points{50})));
    EXPECT_TRUE(is_identity(curves::table(Points{}, Points{})));
}

TEST(CurvesParse, TablesAgainstTheMiddleColour) {
    // Three colours, two curves each, three points: rows 0,1 red, 2,3 green, 4,5 blue.
    const caps::ccd::CcdMeasurement m{{0, 0, 0}, 0x07, 2};
    const Points words{
        1000, 2000, 4000,  // red, curve 0
        9, 9, 9,           // red, curve 1
        1100, 2100, 4100,  // green, curve 0: the reference
        9, 9, 9,           //
        1200, 2200, 4200,  // blue, curve 0
        9, 9, 9,           //
    };
    const auto c = Curves::parse(m, words, 3, 0);
    ASSERT_TRUE(c.has_value());
    ASSERT_EQ(c->tables.size(), 3u);
    EXPECT_EQ(c->tables[0], curves::table(Points{1000, 2000, 4000}, Points{1100, 2100, 4100}));
    EXPECT_EQ(c->tables[2], curves::table(Points{1200, 2200, 4200}, Points{1100, 2100, 4100}));
    EXPECT_TRUE(is_identity(c->tables[1]));
    EXPECT_EQ(c->tables[0][2000], 2100);

    // Curve 1 of each colour: all rows flat, every table the identity.
    const auto second = Curves::parse(m, words, 3, 1);
    ASSERT_TRUE(second.has_value());
    for (const auto& t : second->tables) EXPECT_TRUE(is_identity(t));

    // One colour: its own row is the reference.
    const auto one = Curves::parse(m, words, 1, 0);
    ASSERT_TRUE(one.has_value());
    ASSERT_EQ(one->tables.size(), 1u);
    EXPECT_TRUE(is_identity(one->tables[0]));
}

TEST(CurvesParse, AbsentWhenTheRecordDoesNotMatch) {
    const Points words(18, 100);
    struct Case {
        std::size_t points;
        std::uint8_t curves;
        std::size_t colours, first, words;
    };
    const Case cases[] = {
        {3, 0, 3, 0, 18},  // no curves per colour: first 0 is not below it
        {3, 2, 0, 0, 18},  // no colours
        {1, 2, 3, 0, 18},  // one point per curve
        {0, 2, 3, 0, 18},
        {3, 2, 3, 2, 18},  // first not below curves
        {3, 2, 3, 0, 17},  // one word short
    };
    for (const auto& c : cases) {
        const caps::ccd::CcdMeasurement m{Points(c.points, 0), 0x07, c.curves};
        EXPECT_EQ(Curves::parse(m, std::span(words).first(c.words), c.colours, c.first), std::nullopt)
            << c.points << " " << int{c.curves} << " " << c.colours << " " << c.first << " " << c.words;
    }
    const caps::ccd::CcdMeasurement m{Points(3, 0), 0x07, 2};
    EXPECT_TRUE(Curves::parse(m, words, 3, 0).has_value());
}
