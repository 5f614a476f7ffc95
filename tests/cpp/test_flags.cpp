#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

#include "flags.hpp"

namespace {

struct DemoTag {
    using Bits = std::uint8_t;
    static constexpr std::string_view name = "Demo";
    // BOTH overlaps A and B, as composite names do.
    static constexpr std::array<std::pair<std::string_view, Bits>, 4> names{{
        {"A", 0x01}, {"B", 0x02}, {"BOTH", 0x03}, {"HIGH", 0x40},
    }};
};
using Demo = vexlor::Flags<DemoTag>;

TEST(Flags, DebugForm) {
    const std::pair<std::uint8_t, const char*> cases[] = {
        {0x00, "Demo(0x0)"},
        {0x01, "Demo(A)"},
        {0x41, "Demo(A | HIGH)"},
        {0x03, "Demo(A | B)"},  // BOTH names no bit that is not already named
        {0x80, "Demo(0x80)"},
        {0x8C, "Demo(0x8c)"},
        {0xC2, "Demo(B | HIGH | 0x80)"},
    };
    for (const auto& [bits, text] : cases) EXPECT_EQ(debug_string(Demo::from_bits_retain(bits)), text);
}

TEST(Flags, BitsKeptOrTruncated) {
    EXPECT_EQ(Demo::from_bits_retain(0xC3).bits(), 0xC3);
    EXPECT_EQ(Demo::from_bits_truncate(0xC3).bits(), 0x43);
    EXPECT_EQ(Demo::from_bits_truncate(0xFFC3).bits(), 0x43);  // a wider field: its high bytes hold no names
    EXPECT_EQ(Demo::all().bits(), 0x43);
    const auto ab = Demo::from_bits_retain(0x03);
    EXPECT_TRUE(ab.contains(Demo::from_bits_retain(0x01)));
    EXPECT_FALSE(ab.contains(Demo::from_bits_retain(0x41)));
    EXPECT_TRUE(ab.intersects(Demo::from_bits_retain(0x41)));
    EXPECT_TRUE(Demo().empty());
    EXPECT_EQ((Demo::from_bits_retain(0x01) | Demo::from_bits_retain(0x40)).bits(), 0x41);
}

TEST(Flags, NamedConstantsComeFromTheTable) {
    static_assert(Demo::named("BOTH") == Demo::from_bits_retain(0x03));
    static_assert(Demo::named("HIGH") == Demo::from_bits_retain(0x40));
}

}  // namespace
