#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "text.hpp"

using namespace std::chrono_literals;
using vexlor::text::debug_duration;

namespace {

struct DurationCase {
    std::chrono::nanoseconds d;
    const char* text;
};

TEST(Text, DebugDuration) {
    const DurationCase cases[] = {
        {180s, "180s"},
        {1500ms, "1.5s"},
        {200ms, "200ms"},
        {1us, "1\xC2\xB5s"},
        {1s + 1ns, "1.000000001s"},
        {0ns, "0ns"},
        {999ns, "999ns"},
        {1s, "1s"},
        {1001us, "1.001ms"},
        {1500ns, "1.5\xC2\xB5s"},
        {999999999ns, "999.999999ms"},
        {-5ns, "0ns"},
    };
    for (const auto& c : cases) EXPECT_EQ(debug_duration(c.d), c.text) << c.d.count() << "ns";
}

struct ListCase {
    std::vector<std::uint8_t> bytes;
    const char* hex;
    const char* dec;
    const char* dump;
};

TEST(Text, ByteLists) {
    const ListCase cases[] = {
        {{}, "[]", "[]", ""},
        {{0x05}, "[05]", "[5]", "05"},
        {{0x70, 0x00, 0x05}, "[70, 00, 05]", "[112, 0, 5]", "70 00 05"},
        {{0x0A, 0xFF, 0xC1}, "[0A, FF, C1]", "[10, 255, 193]", "0A FF C1"},
        {{0x12, 0, 0, 0, 0x24, 0}, "[12, 00, 00, 00, 24, 00]", "[18, 0, 0, 0, 36, 0]", "12 00 00 00 24 00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vexlor::text::hex_list(c.bytes), c.hex);
        EXPECT_EQ(vexlor::text::dec_list(c.bytes), c.dec);
        EXPECT_EQ(vexlor::text::hex_dump(c.bytes), c.dump);
    }
}

TEST(Text, Quoted) {
    const std::pair<std::string, const char*> cases[] = {
        {"", R"("")"},
        {"film format", R"("film format")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"a\\b", R"("a\\b")"},
        {"l1\nl2\r\t", R"("l1\nl2\r\t")"},
        {std::string("a\0b", 3), R"("a\0b")"},
        {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
        {"\xC2\x85x", R"("\u{85}x")"},                       // C1 control
        {"\xC2\xB5s \xEF\xBF\xBD \xC3\xA9 \xF0\x9F\x8E\x9E", "\"\xC2\xB5s \xEF\xBF\xBD \xC3\xA9 \xF0\x9F\x8E\x9E\""},  // printable
        {"a\xC2\xA0" "b\xE3\x80\x80", R"("a\u{a0}b\u{3000}")"},   // separators other than the space
        {"\xE2\x80\x8B\xEF\xBB\xBF\xC2\xAD", R"("\u{200b}\u{feff}\u{ad}")"},  // format characters
        {"\xEE\x80\x80\xEF\xBF\xBF", R"("\u{e000}\u{ffff}")"},  // private use, non-character
        {"x\xFFy", "\"x\xFFy\""},                                // bytes that are not UTF-8 stay
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(vexlor::text::quoted(in), out);
}

TEST(Text, DebugOption) {
    const auto dec = [](int v) { return std::to_string(v); };
    EXPECT_EQ(vexlor::text::debug_option(std::optional<int>{}, dec), "None");
    EXPECT_EQ(vexlor::text::debug_option(std::optional<int>{256}, dec), "Some(256)");
    const auto quote = [](const std::string& s) { return vexlor::text::quoted(s); };
    EXPECT_EQ(vexlor::text::debug_option(std::optional<std::string>{"x"}, quote), R"(Some("x"))");
}

}  // namespace
