#include <gtest/gtest.h>

#include "protocol/caps/identity.hpp"
#include "protocol/caps/page.hpp"

using namespace vexlor::protocol::caps;

namespace {

Page page_of(std::vector<std::uint8_t> bytes) { return Page{std::move(bytes), 0xC1}; }

struct FlagCase {
    std::vector<std::uint8_t> run;
    std::uint64_t value;
    std::size_t length;
};

}  // namespace

TEST(PageFlags, ReadsRunsLittleEndianKeepingBit7) {
    const FlagCase cases[] = {
        {{0x05}, 0x05, 1},
        {{0x81, 0x02}, 0x0281, 2},
        {{0x85, 0x80, 0x01}, 0x018085, 3},
        {{0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x7F}, 0x7F87868584838281ULL, 8},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> bytes{0x00, 0xC1, 0x00, 0x20, 0x11};
        bytes.insert(bytes.end(), c.run.begin(), c.run.end());
        bytes.push_back(0x33);  // a byte after the run is not taken
        const auto r = page_of(bytes).flags(5);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->first, c.value);
        EXPECT_EQ(r->second, c.length);
    }
}

TEST(PageFlags, Failures) {
    // Position past the end.
    EXPECT_EQ(page_of({0, 0xC1, 0, 0}).flags(4).error(), Error::truncated(0xC1, 5, 4));
    EXPECT_EQ(page_of({0, 0xC1, 0, 0}).flags(9).error(), Error::truncated(0xC1, 10, 4));
    // The page's last byte says another follows.
    EXPECT_EQ(page_of({0, 0xC1, 0, 1, 0x80}).flags(4).error(), Error::truncated(0xC1, 6, 5));
    EXPECT_EQ(page_of({0, 0xC1, 0, 2, 0x81, 0x80}).flags(4).error(), Error::truncated(0xC1, 7, 6));
    // An eighth byte with bit 7 set.
    const auto e = page_of({0, 0xC1, 0, 9, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x01}).flags(4).error();
    EXPECT_EQ(e, Error::bad_field(0xC1, 11, "flags run past 8 bytes", 0x84838281));
    EXPECT_EQ(to_string(e), "page C1h byte 11: flags run past 8 bytes = 0x84838281");
}

TEST(PageCarried, PresentOnlyInsideReceivedAndDeclared) {
    // Six bytes received; byte 3 declares 1 following (limit 5), then 10 (limit 6).
    Page p = page_of({0, 0xC1, 0, 1, 0x44, 0x55});
    EXPECT_EQ(p.carried_u8(4), std::optional<std::uint8_t>(0x44));
    EXPECT_EQ(p.carried_u8(5), std::nullopt);  // received but beyond byte 3 + 4
    p.data[3] = 10;
    EXPECT_EQ(p.carried_u8(5), std::optional<std::uint8_t>(0x55));
    EXPECT_EQ(p.carried_u8(6), std::nullopt);  // declared but not received
}

TEST(PageError, DisplayAndDebugTexts) {
    EXPECT_EQ(to_string(Error::truncated(0xC1, 70, 61)), "page C1h truncated: need 70 bytes, got 61");
    EXPECT_EQ(to_string(Error::bad_field(0xD1, 23, "parameter width", 5)), "page D1h byte 23: parameter width = 0x05");
    EXPECT_EQ(debug_string(Error::truncated(0xC1, 70, 61)), "Truncated { page: 193, need: 70, got: 61 }");
    EXPECT_EQ(debug_string(Error::bad_field(0xD1, 23, "parameter width", 5)),
              "BadField { page: 209, byte: 23, what: \"parameter width\", value: 5 }");
}

TEST(Identity, ParsesAndTrimsTexts) {
    std::vector<std::uint8_t> b(36, ' ');
    b[0] = 0x26, b[1] = 0x80, b[2] = 0xFA;
    const std::string vendor = "ACME    ", product = "LS-50 X        ", revision = "1.0 ";
    std::copy(vendor.begin(), vendor.end(), b.begin() + 8);
    std::copy(product.begin(), product.end(), b.begin() + 16);
    std::copy(revision.begin(), revision.end(), b.begin() + 32);
    b.push_back('Z');  // ignored
    const auto id = identity::Identity::parse(b);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->qualifier, 1);
    EXPECT_EQ(id->device_type, 6);
    EXPECT_TRUE(id->removable);
    EXPECT_EQ(id->version, 2);
    EXPECT_EQ(id->vendor, "ACME");
    EXPECT_EQ(id->product, "LS-50 X");
    EXPECT_EQ(id->revision, "1.0");

    const std::vector<std::uint8_t> short_data(35, 0);
    EXPECT_EQ(to_string(identity::Identity::parse(short_data).error()), "page 00h truncated: need 36 bytes, got 35");
}
