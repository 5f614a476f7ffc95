#include <gtest/gtest.h>
#include "cpp/refusal.hpp"

#include <memory>
#include <random>
#include <vector>

#include "protocol/decode.hpp"

using namespace vexlor;
using namespace vexlor::protocol;
using decode::Decoder;
using decode::Samples;
using image::Layout;
using window::Channel;
using Bytes = std::vector<std::uint8_t>;
namespace il = caps::set_window::interleaving;

namespace {

std::vector<Channel> channels_of(const std::vector<std::uint8_t>& ids) {
    std::vector<Channel> out;
    for (const auto id : ids) out.emplace_back(id);
    return out;
}

Layout layout(const std::vector<std::uint8_t>& ids, std::uint32_t pixels, std::uint32_t lines, std::uint8_t readings = 1,
              std::uint8_t sample_bytes = 2) {
    Layout l;
    l.channels = channels_of(ids);
    l.pixels = pixels;
    l.lines = lines;
    l.readings = readings;
    l.sample_bytes = sample_bytes;
    l.bits = sample_bytes == 1 ? 8 : 16;
    l.interleaving = il::LINE_WITHOUT_DISTANCE;
    l.ccd_lines = 3;
    return l;
}

Layout multiline(const std::vector<std::uint8_t>& ids, std::uint32_t pixels, std::uint32_t lines, std::uint8_t rows,
                 std::uint32_t gap) {
    Layout l = layout(ids, pixels, lines);
    l.interleaving = il::MULTILINE_SIMULTANEOUS;
    l.ccd_lines = rows;
    l.line_gap = gap;
    return l;
}

void expect_refused(const error::Error& e, std::string_view reason) {
    vexlor::test_support::expect_unsupported(e, "decode", reason);
}

// The planes straight from the sample formula, one sample at a time.
Samples reference(const Layout& l, const Bytes& stream, const curves::Curves* curves = nullptr) {
    const bool multi = (l.interleaving.bits() & 0x40) && l.ccd_lines >= 2;
    const std::uint64_t R = multi ? l.ccd_lines : 1, G = multi ? l.line_gap : 1;
    const std::uint64_t W = l.pixels, L = l.lines, K = std::max<std::uint64_t>(l.readings, 1), sb = l.sample_bytes;
    std::uint64_t c = 0, q = 0;
    for (const auto ch : l.channels) (ch.byte() == 9 ? q : c) += 1;
    const std::uint64_t n = c + q, rs = R * W, read = (K * c + q) * R * W, block = G * read * sb;
    Samples s;
    s.planes.assign(c, std::vector<std::uint16_t>(W * L));
    if (q) s.infrared.emplace(W * L * q);
    for (std::uint64_t k = 0; k < L / (R * G) && (k + 1) * block <= stream.size(); ++k) {
        std::uint64_t b_color = 0, b_ir = 0;
        for (const auto ch : l.channels) {
            const bool color = ch.byte() != 9;
            const std::uint64_t b = color ? b_color++ : b_ir++;
            const std::uint64_t readings = color ? K : 1;
            for (std::uint64_t j = 0; j < R * G; ++j) {
                const std::uint64_t t = j / G, o = j % G;
                for (std::uint64_t x = 0; x < W; ++x) {
                    std::uint64_t sum = 0;
                    for (std::uint64_t m = 0; m < readings; ++m) {
                        const std::uint64_t p = !color ? c + b : m == 0 ? b : b + n + (m - 1) * c;
                        const std::uint64_t at = k * block + (o * read + p * rs + x * R + t) * sb;
                        std::uint32_t v = sb == 1 ? stream[at] : (stream[at] << 8) | stream[at + 1];
                        if (curves && t < curves->tables.size()) v = curves->tables[t][v];
                        sum += v;
                    }
                    auto& plane = color ? s.planes[b] : *s.infrared;
                    plane[(W - 1 - x) * L + k * R * G + j] = static_cast<std::uint16_t>((sum + readings / 2) / readings);
                }
            }
        }
    }
    return s;
}

Bytes noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

}  // namespace

TEST(Decoder, RefusesLayoutsItCannotCut) {
    struct Case {
        Layout layout;
        const char* reason;
    };
    Layout four = layout({1, 2, 3}, 4, 4, 1, 4);
    Layout pixel = layout({1, 2, 3}, 4, 4);
    pixel.interleaving = il::PIXEL_WITHOUT_DISTANCE;
    Layout none = layout({1, 2, 3}, 4, 4);
    none.interleaving = {};
    Layout no_gap = multiline({1, 2, 3}, 4, 12, 3, 0);
    no_gap.y_pitch = 2;
    const Case cases[] = {
        {four, "4 bytes a sample is neither of the widths 2-11-3 defines"},
        {pixel, "ColorInterleaving(PIXEL_WITHOUT_DISTANCE) is not an ordering this decodes yet"},
        {none, "ColorInterleaving(0x0) is not an ordering this decodes yet"},
        {no_gap, "a scanning pitch of 2 puts all the CCD rows on one output line, so the decoder cannot separate a multi-line read"},
        {multiline({1, 2, 3}, 4, 14, 3, 2), "14 columns is not a whole number of 6-column blocks"},
    };
    for (const auto& c : cases) {
        auto d = Decoder::make(c.layout);
        ASSERT_FALSE(d.has_value()) << c.reason;
        expect_refused(d.error(), c.reason);
    }

    auto twelve = Decoder::make(multiline({1, 2, 3}, 4, 12, 3, 2));
    ASSERT_TRUE(twelve.has_value());
    EXPECT_EQ(twelve->rows(), 3u);
    EXPECT_EQ(twelve->gap(), 2u);
    EXPECT_EQ(twelve->block_bytes(), 2u * 3 * 3 * 4 * 2);
    auto one_row = Decoder::make(multiline({1, 2, 3}, 4, 5, 1, 0));
    ASSERT_TRUE(one_row.has_value());
    EXPECT_EQ(one_row->rows(), 1u);
    EXPECT_EQ(one_row->gap(), 1u);
    EXPECT_TRUE(Decoder::make(layout({1, 2, 3}, 4, 0)).has_value());
}

TEST(DecoderSlots, ColourReadingsFollowEveryFirstReading) {
    using decode::Slot;
    EXPECT_EQ(Slot::every(channels_of({1, 2, 3, 9}), 2),
              (std::vector<Slot>{{0, 4, 3, 2, 0, true}, {1, 5, 3, 2, 1, true}, {2, 6, 3, 2, 2, true}, {3, 0, 0, 1, 0, false}}));
    EXPECT_EQ(Slot::every(channels_of({9, 1}), 0), (std::vector<Slot>{{1, 0, 0, 1, 0, false}, {0, 2, 1, 1, 0, true}}));
}

TEST(Decoder, WorkedBlockWithTwoReadings) {
    // Red, green, blue, infrared; 2 readings, W = 2, one line.
    const Layout l = layout({1, 2, 3, 9}, 2, 1, 2);
    auto d = Decoder::make(l);
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(d->block_bytes(), 28u);
    // Channel lines in stream order: R G B I (first reading), R G B (second); pixel 0 then 1.
    const std::uint16_t lines[7][2] = {{10, 20}, {30, 40}, {50, 60}, {7, 8}, {11, 22}, {31, 41}, {51, 61}};
    Bytes block;
    for (const auto& line : lines) {
        for (auto v : line) {
            block.push_back(static_cast<std::uint8_t>(v >> 8));
            block.push_back(static_cast<std::uint8_t>(v));
        }
    }
    Samples s;
    s.resize_for(*d);
    ASSERT_TRUE(d->push(block, s).has_value());
    // Pixel 0 lands in the last row, (W - 1) * L.
    EXPECT_EQ(s.planes[0], (std::vector<std::uint16_t>{21, 11}));  // (20+22+1)/2, (10+11+1)/2
    EXPECT_EQ(s.planes[1], (std::vector<std::uint16_t>{41, 31}));
    EXPECT_EQ(s.planes[2], (std::vector<std::uint16_t>{61, 51}));
    EXPECT_EQ(*s.infrared, (std::vector<std::uint16_t>{8, 7}));
    EXPECT_EQ(s, reference(l, block));
}

TEST(Decoder, AveragesRoundHalfUp) {
    struct Case {
        std::vector<std::uint8_t> readings;
        std::uint16_t value;
    };
    const Case cases[] = {{{1, 2}, 2}, {{1, 1, 2}, 1}, {{1, 2, 2}, 2}, {{255, 255, 255, 254}, 255}, {{0, 1, 1, 1}, 1}};
    for (const auto& c : cases) {
        const Layout l = layout({2}, 1, 1, static_cast<std::uint8_t>(c.readings.size()), 1);
        auto d = Decoder::make(l);
        Samples s;
        s.resize_for(*d);
        ASSERT_TRUE(d->push(c.readings, s).has_value());
        EXPECT_EQ(s.planes[0][0], c.value);
    }
    // Large sums and many readings: 254 readings of 65535 and one of 65408 average just above
    // 65534.5 and round up; one less in the last reading falls just below the half.
    for (const auto& [last, value] : {std::pair{65408, 65535}, std::pair{65407, 65534}}) {
        const Layout l = layout({2}, 1, 1, 255);
        Bytes stream;
        for (int m = 0; m < 255; ++m) {
            const int v = m == 254 ? last : 65535;
            stream.push_back(static_cast<std::uint8_t>(v >> 8));
            stream.push_back(static_cast<std::uint8_t>(v));
        }
        auto d = Decoder::make(l);
        Samples s;
        s.resize_for(*d);
        ASSERT_TRUE(d->push(stream, s).has_value());
        EXPECT_EQ(s.planes[0][0], value) << last;
    }
}

TEST(Decoder, InfraredFirstInTheSetStillFollowsTheColours) {
    const Layout l = layout({9, 1}, 1, 1, 1, 1);
    auto d = Decoder::make(l);
    Samples s;
    s.resize_for(*d);
    ASSERT_TRUE(d->push(Bytes{0x11, 0x99}, s).has_value());
    EXPECT_EQ(s.planes[0][0], 0x11);
    EXPECT_EQ((*s.infrared)[0], 0x99);
}

TEST(Decoder, PendingBytesCompleteBlocksAcrossChunks) {
    const Layout l = layout({1, 2, 3, 9}, 2, 3, 2);
    auto d = Decoder::make(l);
    Samples s;
    s.resize_for(*d);
    const Bytes stream = noise(28 * 3, 3);
    ASSERT_TRUE(d->push(std::span(stream).first(10), s).has_value());
    EXPECT_EQ(d->blocks(), 0u);
    EXPECT_EQ(d->pending(), 10u);
    ASSERT_TRUE(d->push(std::span(stream).subspan(10, 46), s).has_value());
    EXPECT_EQ(d->blocks(), 2u);
    EXPECT_EQ(d->pending(), 0u);
    ASSERT_TRUE(d->push(std::span(stream).subspan(56), s).has_value());
    EXPECT_EQ(s, reference(l, stream));

    // Bytes past the last block are consumed and dropped.
    ASSERT_TRUE(d->push(noise(100, 4), s).has_value());
    EXPECT_EQ(d->blocks(), 3u);
    EXPECT_EQ(s, reference(l, stream));
}

TEST(Decoder, SamePlanesWhateverTheChunking) {
    const auto tables = [](int rows) {
        auto curves = std::make_shared<curves::Curves>();
        for (int t = 0; t < rows; ++t) {
            std::vector<std::uint16_t> table(65536);
            for (std::uint32_t v = 0; v < table.size(); ++v) table[v] = static_cast<std::uint16_t>(65535 - v * (t + 1));
            curves->tables.push_back(std::move(table));
        }
        return curves;
    };
    const auto partial = tables(2);  // on three CCD rows, row 2 has no table and stays uncorrected
    const auto every_row = tables(3);
    struct Case {
        const char* name;
        Layout layout;
        std::shared_ptr<curves::Curves> curves;
    };
    const Layout ir_first_multi = multiline({9, 1, 2, 3}, 3, 12, 3, 2);
    Layout one_byte_multi = multiline({1, 2, 3, 9}, 4, 6, 3, 2);
    one_byte_multi.sample_bytes = 1;
    one_byte_multi.bits = 8;
    Layout one_byte_multi_readings = one_byte_multi;
    one_byte_multi_readings.readings = 2;
    const Case cases[] = {
        {"fast path", layout({1, 2, 3, 9}, 37, 150), nullptr},  // more blocks than one batch takes
        {"one byte, three readings", layout({1, 2, 3, 9}, 5, 7, 3, 1), nullptr},
        {"single channel", layout({2}, 9, 5), nullptr},
        {"one reading, curves", layout({1, 2, 3}, 11, 9), every_row},
        {"two bytes, two readings, curves", layout({3, 1, 2}, 6, 6, 2), partial},
        {"multi-line rows", multiline({1, 2, 3}, 5, 12, 3, 2), nullptr},
        {"multi-line rows, every row curved", ir_first_multi, every_row},
        {"multi-line rows, some rows curved", ir_first_multi, partial},
        {"one byte, multi-line rows, curves", one_byte_multi, every_row},
        {"one byte, multi-line rows, two readings", one_byte_multi_readings, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto probe = Decoder::make(c.layout);
        ASSERT_TRUE(probe.has_value());
        const std::size_t block = probe->block_bytes();
        const std::size_t blocks = c.layout.lines / (probe->rows() * probe->gap());
        const Bytes stream = noise(block * blocks + block / 2, 11);  // a partial block left at the end
        const Samples expected = reference(c.layout, stream, c.curves.get());

        const std::vector<std::size_t> sizes{stream.size(), 1, 7, block - 1, block, block + 1, 3 * block + 5, 13 * block + 1};
        // Blocks decoded as they complete, or gathered several at a time and flushed at the end.
        for (const std::size_t gather : {std::size_t{1}, std::size_t{8}}) {
            for (std::size_t size : sizes) {
                auto d = Decoder::make(c.layout);
                d->curves = c.curves;
                d->gather(gather);
                Samples s;
                s.resize_for(*d);
                for (std::size_t at = 0; at < stream.size(); at += size) {
                    ASSERT_TRUE(d->push(std::span(stream).subspan(at, std::min(size, stream.size() - at)), s).has_value());
                }
                ASSERT_TRUE(d->flush(s).has_value());
                EXPECT_EQ(s, expected) << "chunk " << size << ", gathering " << gather;
                EXPECT_EQ(d->blocks(), blocks);
                EXPECT_EQ(d->pending(), block / 2);
            }
        }
        // Random chunk sizes, including empty chunks.
        std::mt19937 rng(5);
        auto d = Decoder::make(c.layout);
        d->curves = c.curves;
        Samples s;
        s.resize_for(*d);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min<std::size_t>(rng() % (2 * block + 1), stream.size() - at);
            ASSERT_TRUE(d->push(std::span(stream).subspan(at, n), s).has_value());
            at += n;
        }
        EXPECT_EQ(s, expected);
    }
}

TEST(Decoder, GatheredBlocksWaitForTheirBatchOrTheFlush) {
    const Layout l = layout({1, 2, 3}, 4, 20);
    auto d = Decoder::make(l);
    ASSERT_TRUE(d.has_value());
    d->gather(8);
    Samples s;
    s.resize_for(*d);
    const std::size_t block = d->block_bytes();
    const Bytes stream = noise(block * 20, 3);
    const Samples expected = reference(l, stream);
    ASSERT_TRUE(d->push(std::span(stream).first(3 * block + 1), s).has_value());
    EXPECT_EQ(d->blocks(), 0u);  // held back, the planes untouched
    EXPECT_EQ(s.planes[0], std::vector<std::uint16_t>(4 * 20, 0));
    ASSERT_TRUE(d->push(std::span(stream).subspan(3 * block + 1, 6 * block), s).has_value());
    EXPECT_EQ(d->blocks(), 9u);  // a batch of eight reached, all whole blocks decoded
    EXPECT_EQ(d->pending(), 1u);
    ASSERT_TRUE(d->push(std::span(stream).subspan(9 * block + 1), s).has_value());
    ASSERT_TRUE(d->flush(s).has_value());
    EXPECT_EQ(d->blocks(), 20u);
    EXPECT_EQ(s, expected);
    // A flush checks the output as a push does.
    Samples wrong;
    expect_refused(d->flush(wrong).error(), "the output holds 0 color planes and this stream needs 3");
}

TEST(Decoder, ChecksTheOutputBeforeWriting) {
    const Layout l = layout({1, 2, 3, 9}, 2, 2);
    auto d = Decoder::make(l);
    const Bytes block = noise(d->block_bytes(), 1);
    struct Case {
        const char* name;
        void (*change)(Samples&);
        const char* reason;
    };
    const Case cases[] = {
        {"planes", [](Samples& s) { s.planes.pop_back(); }, "the output holds 2 color planes and this stream needs 3"},
        {"short plane", [](Samples& s) { s.planes[1].resize(3); }, "color plane 1 holds 3 samples and this stream needs 4"},
        {"no infrared", [](Samples& s) { s.infrared.reset(); }, "the infrared output holds 0 samples and this stream needs 4"},
    };
    for (const auto& c : cases) {
        Samples s;
        s.resize_for(*d);
        c.change(s);
        const Samples before = s;
        auto r = d->push(block, s);
        ASSERT_FALSE(r.has_value()) << c.name;
        expect_refused(r.error(), c.reason);
        EXPECT_EQ(s, before);
        EXPECT_EQ(d->blocks(), 0u);
        EXPECT_EQ(d->pending(), 0u);
    }
}

TEST(Decoder, ZeroPixelLinesAreConsumedWithoutDecoding) {
    auto d = Decoder::make(layout({1, 2, 3}, 0, 10));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->block_bytes(), 0u);
    Samples s;
    s.resize_for(*d);
    EXPECT_TRUE(d->push(noise(1000, 2), s).has_value());
    EXPECT_EQ(d->pending(), 0u);
    EXPECT_EQ(s.planes.size(), 3u);
    EXPECT_TRUE(s.planes[0].empty());
}

TEST(Decoder, TakeRefusesBlocksThatDoNotFit) {
    auto d = Decoder::make(layout({1, 2, 3}, 2, 2));
    Samples s;
    s.resize_for(*d);
    const Bytes block = noise(d->block_bytes(), 9);
    EXPECT_FALSE(d->take(std::span(block).first(block.size() - 1), s.planes, {}));
    EXPECT_TRUE(d->take(block, s.planes, {}));
    EXPECT_EQ(d->blocks(), 1u);
    EXPECT_EQ(s, reference(layout({1, 2, 3}, 2, 2), block));
}

TEST(DecoderSamples, ResizeForAndFullScale) {
    Samples s;
    s.planes.assign(5, std::vector<std::uint16_t>(3, 7));
    s.infrared.emplace(2, 7);
    s.resize_for(*Decoder::make(layout({1, 2, 3}, 4, 2)));
    EXPECT_EQ(s.planes, std::vector<std::vector<std::uint16_t>>(3, std::vector<std::uint16_t>(8, 0)));
    EXPECT_FALSE(s.infrared.has_value());
    s.resize_for(*Decoder::make(layout({1, 9, 9}, 4, 2)));
    EXPECT_EQ(s.planes.size(), 1u);
    EXPECT_EQ(*s.infrared, std::vector<std::uint16_t>(16, 0));

    const auto t8 = decode::full_scale_table(8);
    EXPECT_EQ(t8.size(), 65536u);
    EXPECT_EQ(t8[1], 257);
    EXPECT_EQ(t8[255], 65535);
    EXPECT_EQ(t8[256], 65535);
    const auto t14 = decode::full_scale_table(14);
    EXPECT_EQ(t14[1], 4);
    EXPECT_EQ(t14[16383], 65535);
    EXPECT_EQ(t14[20000], 65535);
    EXPECT_EQ(decode::full_scale_table(1)[1], 65535);
    EXPECT_EQ(decode::full_scale_table(16)[1234], 1234);

    Samples values;
    values.planes = {{0, 1, 255}};
    values.infrared = std::vector<std::uint16_t>{128};
    Samples same = values;
    same.to_full_scale(16);
    EXPECT_EQ(same, values);
    same.to_full_scale(0);
    EXPECT_EQ(same, values);
    values.to_full_scale(8);
    EXPECT_EQ(values.planes[0], (std::vector<std::uint16_t>{0, 257, 65535}));
    EXPECT_EQ(*values.infrared, (std::vector<std::uint16_t>{128 * 257}));
}

TEST(DecoderImage, PartialViews) {
    const Layout l = layout({1, 2, 3, 9}, 2, 5);
    Samples s;
    s.resize_for(*Decoder::make(l));
    auto img = decode::Image::partial(l, s, 9);
    ASSERT_TRUE(img.has_value());
    EXPECT_EQ(img->ready, 5u);
    EXPECT_EQ(img->lines, 5u);
    EXPECT_EQ(img->width, 2u);
    EXPECT_EQ(img->bits, 16);
    EXPECT_EQ(img->planes.size(), 3u);
    EXPECT_EQ(img->infrared.size(), 10u);
    EXPECT_EQ(decode::Image::partial(l, s, 3)->ready, 3u);

    struct Case {
        void (*change)(Samples&);
        const char* reason;
    };
    const Case cases[] = {
        {[](Samples& x) { x.planes.pop_back(); }, "2 color planes is not the 3 this layout describes"},
        {[](Samples& x) { x.planes[2].resize(9); }, "color plane 2 is 9 samples, short of the 10 this layout describes"},
        {[](Samples& x) { x.infrared.reset(); }, "0 infrared samples is short of the 10 this layout describes"},
    };
    for (const auto& c : cases) {
        Samples bad = s;
        c.change(bad);
        auto r = decode::Image::partial(l, bad, 1);
        ASSERT_FALSE(r.has_value());
        expect_refused(r.error(), c.reason);
    }
    Layout four = l;
    four.sample_bytes = 4;
    expect_refused(decode::Image::partial(four, s, 1).error(), "4 bytes a sample is neither of the widths 2-11-3 defines");
}
