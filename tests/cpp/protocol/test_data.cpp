#include <gtest/gtest.h>
#include "cpp/refusal.hpp"

#include <vector>

#include "protocol/data.hpp"

using namespace vexlor;
using namespace vexlor::protocol::data;
using Bytes = std::vector<std::uint8_t>;

namespace {

using vexlor::test_support::expect_refused;

Bytes with_kind(std::uint8_t kind, std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i);
    if (size) b[0] = kind;
    return b;
}

}  // namespace

TEST(DataType, CodesValueKindsAndNames) {
    struct Row {
        DataType type;
        std::optional<std::uint8_t> code;
        std::optional<ValueKind> kind;
        const char* name;
    };
    const Row rows[] = {
        {DataType::Image, std::nullopt, std::nullopt, "Image"},
        {DataType::Magnetic, std::nullopt, std::nullopt, "Magnetic"},
        {DataType::Cooperation, 0x87, ValueKind::Raw, "Cooperation"},
        {DataType::Boundary, 0x88, ValueKind::U32, "Boundary"},
        {DataType::AnalogGamma, 0x89, ValueKind::U16, "AnalogGamma"},
        {DataType::AnalogGain, 0x8A, ValueKind::F32, "AnalogGain"},
        {DataType::DigitalGain, 0x8B, ValueKind::U16, "DigitalGain"},
        {DataType::WhiteBalanceExposure, 0x8C, ValueKind::U32, "WhiteBalanceExposure"},
        {DataType::Setup, 0x8D, ValueKind::Raw, "Setup"},
        {DataType::Perforation, 0x8E, ValueKind::U16, "Perforation"},
        {DataType::Boundary2, 0x8F, ValueKind::U16, "Boundary2"},
        {DataType::ShipmentWhiteBalance, 0x90, ValueKind::U16, "ShipmentWhiteBalance"},
        {DataType::CcdData, 0x91, ValueKind::U16, "CcdData"},
        {DataType::DriverVersion, std::nullopt, std::nullopt, "DriverVersion"},
        {DataType::EepromBuffer, std::nullopt, std::nullopt, "EepromBuffer"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(code(r.type), r.code) << r.name;
        EXPECT_EQ(value_kind(r.type), r.kind) << r.name;
        EXPECT_EQ(to_string(r.type), r.name);
        if (r.code) {
            EXPECT_EQ(data_type_of(*r.code), r.type) << r.name;
        }
    }
    EXPECT_EQ(index(DataType::EepromBuffer), 24u);
    EXPECT_EQ(data_type_of(0x86), std::nullopt);
    EXPECT_EQ(data_type_of(0x92), std::nullopt);
}

TEST(DataHeader, ReadsSixBytes) {
    const Bytes b{0x8D, 0x10, 0x00, 0x01, 0x02, 0x03, 0xFF};
    EXPECT_EQ(Header::from_bytes(b), (Header{0x8D, 0x10, 0x00010203}));
    EXPECT_EQ(Header::from_bytes(std::span(b).first(5)), std::nullopt);
    EXPECT_EQ(debug_string(Header{0x8D, 16, 27}), "Header { code: 141, bits: 16, length: 27 }");
}

TEST(DataValues, CutsWholeBigEndianValues) {
    const Bytes five{0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(Values::decode(1, five), (Values{Values::U16{{0x0102, 0x0304}}}));
    EXPECT_EQ(Values::decode(2, five), (Values{Values::U32{{0x01020304}}}));
    EXPECT_EQ(Values::decode(9, five), (Values{Values::Raw{five}}));
    EXPECT_EQ(Values::decode(0, {}), (Values{Values::Raw{}}));
    const Bytes one_and_a_half{0x3F, 0xC0, 0x00, 0x00};
    EXPECT_EQ(Values::decode(ValueKind::F32, one_and_a_half), (Values{Values::F32{{1.5f}}}));
}

TEST(DataOperation, NineBytesBothWays) {
    const Operation op{3, 0x01020304, 0xA0B0C0D0};
    const std::array<std::uint8_t, 9> bytes{3, 1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0};
    EXPECT_EQ(op.to_bytes(), bytes);
    EXPECT_EQ(Operation::from_bytes(bytes), op);
    EXPECT_EQ(Operation::from_bytes(std::span(bytes).first(8)), std::nullopt);
    EXPECT_EQ(debug_string(op), "Operation { color: 3, first: 16909060, second: 2695938256 }");

    EXPECT_EQ(Op(0x85).kind(), Op::Kind::Other);
    EXPECT_EQ(Op(0x85).code(), 0x85);
    EXPECT_EQ(Op(0xD1).kind(), Op::Kind::Load);
    EXPECT_EQ(debug_string(Op(0x85)), "Other(133)");
}

TEST(DataSetup, EntryCountMustBeCovered) {
    Bytes b(14, 0);
    b[2] = 7;
    b[3] = 0x01; b[4] = 0x02;
    b[5] = 0; b[6] = 0; b[7] = 0; b[8] = 9;
    b[12] = 4;
    auto s = protocol::data::Setup::from_bytes(b);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(*s, (protocol::data::Setup{7, 0x0102, 9, 4, {}}));
    EXPECT_EQ(protocol::data::Setup::from_bytes(std::span(b).first(13)), std::nullopt);

    b[13] = 1;
    b.resize(26, 0);
    EXPECT_EQ(protocol::data::Setup::from_bytes(b), std::nullopt);
    b.push_back(0);
    // Entry: byte0, first, second, unit_min, unit_max.
    const Bytes entry{5, 0, 0, 1, 0, 0, 0, 0, 2, 0x03, 0xE8, 0x0F, 0xA0};
    std::copy(entry.begin(), entry.end(), b.begin() + 14);
    b.push_back(0xEE);  // ignored
    s = protocol::data::Setup::from_bytes(b);
    ASSERT_TRUE(s.has_value());
    ASSERT_EQ(s->images.size(), 1u);
    EXPECT_EQ(s->images[0], (SetupImage{5, 256, 2, 1000, 4000}));
}

TEST(DataPerforation, TableRules) {
    EXPECT_EQ(PerfInformation::from_bytes(Bytes{0, 0, 1, 4}), std::vector<PerforationInformation>{});
    auto one = PerfInformation::from_bytes(Bytes{0, 0, 5, 4, 0x01, 0x02, 0x85, 0x09, 0xAA});
    ASSERT_TRUE(one.has_value());
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ((*one)[0], (PerforationInformation{0x0102, true, 5, 9}));
    EXPECT_EQ(debug_string((*one)[0]),
              "PerforationInformation { perf_number: 258, count_switching_flag: true, perf_decimal: 5, pulse_number: 9 }");

    const Bytes refused[] = {
        {0, 0, 4, 4, 0, 0, 0, 0},   // L not 1 modulo 4
        {0, 0, 5, 6, 0, 0, 0, 0},   // entry size 6
        {0, 0, 5, 4, 0, 0, 0},      // shorter than L + 3
        {0, 0, 0, 4},               // L = 0
        {0, 0, 1},                  // three bytes
    };
    for (const auto& b : refused) EXPECT_EQ(PerfInformation::from_bytes(b), std::nullopt);
}

TEST(DataCooperativeAction, KindAndLeastLength) {
    EXPECT_EQ(CooperativeAction::from_bytes({}), std::nullopt);
    struct Case {
        std::uint8_t kind;
        std::size_t size;
        std::size_t variant;  // 0 Geometry, 1 Truncate, 2 CcdData, 3 Unknown
    };
    const Case cases[] = {
        {1, 15, 0}, {2, 15, 0}, {4, 40, 0}, {2, 14, 3}, {3, 40, 3}, {5, 40, 3},
        {6, 26, 3}, {6, 27, 1}, {7, 12, 3}, {7, 13, 2}, {0, 1, 3}, {0xFF, 30, 3},
    };
    for (const auto& c : cases) {
        auto a = CooperativeAction::from_bytes(with_kind(c.kind, c.size));
        ASSERT_TRUE(a.has_value());
        EXPECT_EQ(a->value.index(), c.variant) << int{c.kind} << " / " << c.size;
        if (const auto* u = std::get_if<CooperativeAction::Unknown>(&a->value)) {
            EXPECT_EQ(u->kind, c.kind);
            EXPECT_EQ(u->payload, with_kind(c.kind, c.size));
        }
    }

    auto g = CooperativeAction::from_bytes(with_kind(2, 15));
    const Geometry geometry{0x0506, 0x0708, 9, 0x0A0B, 12, 0x0D0E};
    EXPECT_EQ(*g, (CooperativeAction{CooperativeAction::Geometry{{protocol::sense::Coop::Averaging{}}, geometry}}));
    EXPECT_EQ(debug_string(*g),
              "Geometry(Averaging, Geometry { bytes_per_line: 1286, entire_lines: 1800, bits_per_color: 9, "
              "lines_per_image: 2571, readings_per_line: 12, registration_gap: 3342 })");
    EXPECT_EQ(std::get<CooperativeAction::Geometry>(CooperativeAction::from_bytes(with_kind(1, 15))->value).coop,
              protocol::sense::Coop{protocol::sense::Coop::Thumbnail{}});
    EXPECT_EQ(std::get<CooperativeAction::Geometry>(CooperativeAction::from_bytes(with_kind(4, 15))->value).coop,
              protocol::sense::Coop{protocol::sense::Coop::MultiLineRegistration{}});

    auto ccd = CooperativeAction::from_bytes(with_kind(7, 13));
    EXPECT_EQ(debug_string(*ccd), "CcdData([5, 6, 7, 8, 9, 10, 11, 12])");
    EXPECT_EQ(debug_string(*CooperativeAction::from_bytes(Bytes{3, 0xFF})), "Unknown(3, [3, 255])");
}

TEST(DataCooperativeAction, TruncationFieldsAndPosition) {
    Bytes b(27, 0);
    b[0] = 6;
    b[5] = 0x30;
    for (std::size_t i = 7; i < 27; ++i) b[i] = static_cast<std::uint8_t>(i);
    auto a = CooperativeAction::from_bytes(b);
    const auto& t = std::get<CooperativeAction::Truncate>(a->value).truncation;
    EXPECT_EQ(t.position, position::INFRARED_FIRST | position::INFRARED_LAST);
    EXPECT_EQ(t.per_color, (Edges{0x0708, 0x090A}));
    EXPECT_EQ(t.all_colors, (Edges{0x0B0C, 0x0D0E}));
    EXPECT_EQ(t.infrared_reading, (Edges{0x0F10, 0x1112}));
    EXPECT_EQ(t.lines, (Edges{0x1314, 0x1516}));
    EXPECT_EQ(t.frame, (Edges{0x1718, 0x191A}));

    struct Pos {
        std::uint8_t b5, b6;
        const char* text;
    };
    const Pos cases[] = {
        {0x30, 0x00, "Position(INFRARED_FIRST | INFRARED_LAST)"},
        {0x00, 0x03, "Position(FRAME_FIRST | FRAME_LAST)"},
        {0x00, 0xFC, "Position(0x0)"},
        {0x81, 0xFE, "Position(COLOR_FIRST | LINE_LAST | FRAME_LAST)"},
    };
    for (const auto& c : cases) {
        b[5] = c.b5;
        b[6] = c.b6;
        const auto tr = std::get<CooperativeAction::Truncate>(CooperativeAction::from_bytes(b)->value).truncation;
        EXPECT_EQ(vexlor::debug_string(tr.position), c.text);
    }
    b[5] = 0x01;
    b[6] = 0;
    EXPECT_EQ(debug_string(*CooperativeAction::from_bytes(b)),
              "Truncate(Truncation { position: Position(COLOR_FIRST), per_color: Edges { first: 1800, last: 2314 }, "
              "all_colors: Edges { first: 2828, last: 3342 }, infrared_reading: Edges { first: 3856, last: 4370 }, "
              "lines: Edges { first: 4884, last: 5398 }, frame: Edges { first: 5912, last: 6426 } })");
}

// Frame tables.

TEST(FrameBoundary, EncodesInclusiveEdges) {
    Boundary b{{{10, 20, 110, 220}}};
    EXPECT_EQ(*b.to_bytes(), (Bytes{0x00, 0x14, 0x01, 0x00, 0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 0, 109, 0, 0, 0, 219}));
    Boundary zero{{{1, 2, 0, 0}}};
    EXPECT_EQ(*zero.to_bytes(), (Bytes{0x00, 0x14, 0x01, 0x00, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0}));

    Boundary full{std::vector<Rect>(255, Rect{1, 1, 2, 2})};
    auto bytes = full.to_bytes();
    ASSERT_EQ(bytes->size(), 4084u);
    EXPECT_EQ((*bytes)[0], 0x0F);
    EXPECT_EQ((*bytes)[1], 0xF4);
    EXPECT_EQ((*bytes)[2], 255);
}

TEST(FrameTables, CountRefusals) {
    const char* none = "no frames were measured, so there is no table to send";
    expect_refused(Boundary{}.to_bytes(), "frame table", none);
    expect_refused(BoundaryType2{}.to_bytes(), "frame table", none);
    expect_refused(Boundary{std::vector<Rect>(256)}.to_bytes(), "boundary", "256 frames cannot fit the one-byte count field");
    expect_refused(BoundaryType2{std::vector<FramePosition>(300)}.to_bytes(), "boundary_type2",
                   "300 frames cannot fit the one-byte count field");
}

TEST(FrameBoundary, AtFindsTheFirstHoldingRectangle) {
    EXPECT_EQ(Boundary{}.at(0, 0), std::nullopt);
    const Rect a{10, 10, 20, 20}, b{15, 15, 30, 30};
    Boundary t{{a, b}};
    EXPECT_EQ(t.at(10, 10), a);
    EXPECT_EQ(t.at(19, 19), a);  // overlap: the earlier one
    EXPECT_EQ(t.at(20, 15), b);  // right edge of a is outside it
    EXPECT_EQ(t.at(15, 20), b);  // bottom edge of a
    EXPECT_EQ(t.at(30, 16), std::nullopt);
    EXPECT_EQ(t.at(9, 12), std::nullopt);
}

TEST(FrameBoundaryType2, WireFormBothWays) {
    const FramePosition p{0x01020304, 0x0506, 7, 8};
    const Bytes one{0x00, 0x0A, 0x01, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(*BoundaryType2{{p}}.to_bytes(), one);
    EXPECT_EQ(BoundaryType2::from_bytes(one), BoundaryType2{{p}});
    EXPECT_EQ(BoundaryType2::from_bytes(Bytes{0, 2, 0, 0}), BoundaryType2{});
    Bytes byte3 = one;
    byte3[3] = 0x77;  // ignored when read
    byte3.push_back(0xEE);
    EXPECT_EQ(BoundaryType2::from_bytes(byte3), BoundaryType2{{p}});

    const Bytes refused[] = {
        {0, 10, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9, 9, 9, 9, 9},  // L is not 8n + 2
        {0, 10, 1, 0, 1, 2, 3, 4, 5, 6, 7},                             // fewer than L + 2 bytes
        {0, 2, 0},                                                      // three bytes
    };
    for (const auto& b : refused) EXPECT_EQ(BoundaryType2::from_bytes(b), std::nullopt);
    EXPECT_EQ(debug_string(p), "FramePosition { top: 16909060, perf_number: 1286, perf_decimal: 7, pulse_number: 8 }");
    EXPECT_EQ(debug_string(Rect{1, 2, 3, 4}), "Rect { top: 1, left: 2, bottom: 3, right: 4 }");
}

TEST(FrameBoundaryType2, RegisterReplacesInPlace) {
    struct Case {
        std::uint32_t top;
        std::size_t replaced;
    };
    const Case cases[] = {{250, 1}, {50, 0}, {300, 2}, {200, 1}, {1000, 2}};
    for (const auto& c : cases) {
        BoundaryType2 t{{{100, 1, 0, 0}, {200, 2, 0, 0}, {300, 3, 0, 0}}};
        auto expected = t.positions;
        const FramePosition p{c.top, 99, 1, 2};
        expected[c.replaced] = p;
        t.register_position(p);
        EXPECT_EQ(t.positions, expected) << c.top;
    }
    BoundaryType2 empty;
    empty.register_position({5, 1, 2, 3});
    EXPECT_EQ(empty.positions, (std::vector<FramePosition>{{5, 1, 2, 3}}));
}
