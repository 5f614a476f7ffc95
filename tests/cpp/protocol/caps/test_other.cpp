#include <gtest/gtest.h>

#include "protocol/caps/other.hpp"
#include "cpp/protocol/caps/page_bytes.hpp"
#include "protocol/data.hpp"

using namespace vexlor::protocol::caps;
using namespace vexlor::protocol::caps::other;
using vexlor::protocol::data::Op;
using vexlor::test::blank_page;
using vexlor::test::put;

namespace {

// One-byte flag fields: Q = 6, the nine single bytes at 6-14, the bitmap at 15-30, the third flag
// field at 31 and the last two bytes at 32-33.
Page worked_example() {
    Page p = blank_page(0xE1, 34);
    put(p, 4, 0x7F, 1);  // cooperation
    put(p, 5, 0x3F, 1);  // data_types
    for (std::size_t i = 6; i < 15; ++i) p.data[i] = 0xFF;
    put(p, 31, 0x7F, 1);
    put(p, 32, 0xFFFF, 2);
    return p;
}

std::vector<std::uint8_t> codes_of(const ExecuteOps& ops) {
    std::vector<std::uint8_t> out;
    for (const Op op : ops.ops()) out.push_back(op.code());
    return out;
}

}  // namespace

TEST(FeaturesPage, WorkedExample) {
    Page p = worked_example();
    put(p, 15 + 4, 0x01, 1);  // word 2 bit 0: A0h
    put(p, 15 + 15, 0x80, 1);  // word 7 bit 15: FFh
    const auto f = Features::from_page(p);
    ASSERT_TRUE(f.has_value()) << to_string(f.error());
    EXPECT_EQ(f->cooperation.bits(), 0x007F);
    EXPECT_EQ(f->data_types, 0x3Fu);
    EXPECT_EQ(f->page_length, 30);
    EXPECT_EQ(codes_of(f->execute_ops), (std::vector<std::uint8_t>{0xA0, 0xFF}));
}

TEST(FeaturesPage, MultiByteFlagFieldsAreMasked) {
    // cooperation FF 7F (0x7FFF), data_types FF FF FF FF 7F: Q = 11, bitmap at 20.
    Page p = blank_page(0xE1, 39);
    const std::uint8_t head[] = {0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    std::copy(std::begin(head), std::end(head), p.data.begin() + 4);
    put(p, 20 + 10, 0x02, 1);  // word 5 bit 1: D1h
    const auto f = Features::from_page(p);
    ASSERT_TRUE(f.has_value()) << to_string(f.error());
    EXPECT_EQ(f->cooperation.bits(), 0x0F7F);
    EXPECT_EQ(f->data_types, 0x7F7F7F3F3FULL);
    EXPECT_EQ(debug_string(f->execute_ops), "[Load (D1h)]");
    EXPECT_EQ(debug_string(f->cooperation & (cooperation::MULTI_LINE | cooperation::CCD_DATA)),
              "HostCooperation(MULTI_LINE | CCD_DATA)");
}

TEST(FeaturesPage, TruncatedNeeds) {
    // A page ending inside the fixed part fails at the third flag field (Q + 26).
    vexlor::test::expect_prefix_needs(worked_example(), {5, 6, 32, 33, 34},
                                      [](const Page& p) { return Features::from_page(p); });
    EXPECT_EQ(to_string(Features::from_page(vexlor::test::prefix(worked_example(), 20)).error()),
              "page E1h truncated: need 32 bytes, got 20");
}

TEST(ExecuteOps, BitmapPositions) {
    struct Case {
        std::size_t byte;  // offset from Q
        std::uint8_t bit;
        std::uint8_t code;
        const char* text;
    };
    const Case cases[] = {
        {13, 0, 0xA0, "[AutoFocus (A0h)]"},
        {19, 1, 0xD1, "[Load (D1h)]"},
        {20, 1, 0xD9, "[Other(217) (D9h)]"},
        {9, 0, 0x80, "[Initialize (80h)]"},
        {24, 7, 0xFF, "[Other(255) (FFh)]"},
    };
    for (const auto& c : cases) {
        Page p = worked_example();
        p.data[6 + c.byte] = static_cast<std::uint8_t>(1u << c.bit);
        const auto f = Features::from_page(p);
        ASSERT_TRUE(f.has_value());
        for (unsigned code = 0; code < 256; ++code) {
            EXPECT_EQ(f->execute_ops.offers(static_cast<std::uint8_t>(code)), code == c.code) << std::hex << code;
        }
        EXPECT_EQ(codes_of(f->execute_ops), std::vector<std::uint8_t>{c.code});
        EXPECT_EQ(debug_string(f->execute_ops), c.text);
    }
}

TEST(ExecuteOps, ListsInCodeOrder) {
    ExecuteOps none;
    EXPECT_EQ(debug_string(none), "[]");
    ExecuteOps all;
    all.words.fill(0xFFFF);
    EXPECT_EQ(all.ops().size(), 128u);
    EXPECT_FALSE(all.offers(0x7F));
    ExecuteOps some;
    some.words[0] = 0x0003;  // 80h, 81h
    some.words[2] = 0x0001;  // A0h
    some.words[5] = 0x0003;  // D0h, D1h
    EXPECT_EQ(debug_string(some), "[Initialize (80h), ReturnToOrigin (81h), AutoFocus (A0h), Unload (D0h), Load (D1h)]");
}

TEST(Features, DataTypeSupportBits) {
    struct Case {
        int bit;
        std::uint8_t code;
        bool send;
    };
    const Case cases[] = {
        {20, 0x87, false}, {21, 0x88, false}, {22, 0x88, true}, {24, 0x89, false}, {25, 0x8A, false},
        {26, 0x8B, false}, {27, 0x8C, false}, {28, 0x8D, false}, {29, 0x8D, true}, {30, 0x8E, false},
        {32, 0x8F, false}, {33, 0x8F, true}, {34, 0x90, false}, {35, 0x91, false},
    };
    for (const auto& c : cases) {
        Features f;
        f.data_types = std::uint64_t{1} << c.bit;
        for (unsigned code = 0; code < 256; ++code) {
            const auto t = static_cast<std::uint8_t>(code);
            EXPECT_EQ(f.supports_read(t), !c.send && t == c.code) << "bit " << c.bit << " code " << code;
            EXPECT_EQ(f.supports_send(t), c.send && t == c.code) << "bit " << c.bit << " code " << code;
        }
    }
    // Bits without a data type support nothing.
    Features f;
    f.data_types = ~std::uint64_t{0} & ~((std::uint64_t{0xF} << 32) | (std::uint64_t{0x7F} << 24) | (std::uint64_t{0x7} << 20));
    for (unsigned code = 0; code < 256; ++code) {
        EXPECT_FALSE(f.supports_read(static_cast<std::uint8_t>(code)));
        EXPECT_FALSE(f.supports_send(static_cast<std::uint8_t>(code)));
    }
}

TEST(FeaturesPage, PerforationReadBitFromThePage) {
    // Bit 30 is bit 6 of the field's fourth byte.
    Page p = blank_page(0xE1, 37);
    const std::uint8_t head[] = {0x00, 0x80, 0x80, 0x80, 0x40};
    std::copy(std::begin(head), std::end(head), p.data.begin() + 4);
    const auto f = Features::from_page(p);
    ASSERT_TRUE(f.has_value()) << to_string(f.error());
    EXPECT_EQ(f->data_types, std::uint64_t{1} << 30);
    for (unsigned code = 0; code < 256; ++code) {
        EXPECT_EQ(f->supports_read(static_cast<std::uint8_t>(code)), code == 0x8E);
        EXPECT_FALSE(f->supports_send(static_cast<std::uint8_t>(code)));
    }
}
