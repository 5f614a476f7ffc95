#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/caps/identity.hpp"
#include "text.hpp"

using namespace vexlor::protocol::caps;
using identity::Identity;
using identity::lenient_text;

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> inquiry(std::string_view vendor, std::string_view product, std::string_view revision) {
    std::vector<std::uint8_t> b(36, ' ');
    b[0] = 0x06, b[1] = 0x80, b[2] = 0x02, b[3] = 0x02, b[4] = 31, b[5] = b[6] = b[7] = 0;
    std::copy(vendor.begin(), vendor.end(), b.begin() + 8);
    std::copy(product.begin(), product.end(), b.begin() + 16);
    std::copy(revision.begin(), revision.end(), b.begin() + 32);
    return b;
}

TEST(IdentityParse, Fields) {
    auto b = inquiry("Vexlor  ", "LS-50 ED        ", "1.02");
    b.push_back('X');  // bytes after the 36th are ignored
    const auto id = Identity::parse(b);
    ASSERT_TRUE(id.has_value()) << to_string(id.error());
    EXPECT_EQ(id->qualifier, 0);
    EXPECT_EQ(id->device_type, 6);
    EXPECT_TRUE(id->removable);
    EXPECT_EQ(id->version, 2);
    EXPECT_EQ(id->vendor, "Vexlor");
    EXPECT_EQ(id->product, "LS-50 ED");
    EXPECT_EQ(id->revision, "1.02");
    EXPECT_EQ(debug_string(*id),
              R"(Identity { qualifier: 0, device_type: 6, removable: true, version: 2, vendor: "Vexlor", )"
              R"(product: "LS-50 ED", revision: "1.02" })");
}

TEST(IdentityParse, HeaderBits) {
    auto b = inquiry("A", "B", "C");
    b[0] = 0x7F;  // qualifier 3, device type 1Fh
    b[1] = 0x7F;  // not removable
    b[2] = 0xFD;  // version 5
    const auto id = Identity::parse(b).value();
    EXPECT_EQ(id.qualifier, 3);
    EXPECT_EQ(id.device_type, 0x1F);
    EXPECT_FALSE(id.removable);
    EXPECT_EQ(id.version, 5);
}

TEST(IdentityParse, ShortData) {
    for (std::size_t n : {0u, 8u, 35u}) {
        const std::vector<std::uint8_t> b(n, 0x20);
        const auto id = Identity::parse(b);
        ASSERT_FALSE(id.has_value());
        EXPECT_EQ(id.error(), Error::truncated(0, 36, n));
    }
    EXPECT_EQ(to_string(Identity::parse(std::vector<std::uint8_t>(35, 0)).error()),
              "page 00h truncated: need 36 bytes, got 35");
    EXPECT_EQ(Identity::parse(std::vector<std::uint8_t>(36, 0)).value().vendor, std::string(8, '\0'));
}

TEST(IdentityParse, LenientFields) {
    const auto id = Identity::parse(inquiry("\tAB\xFF  \n", "  \xE2\x80\x83 ", "\xC3\xA9t\xC3")).value();
    EXPECT_EQ(id.vendor, "AB\xEF\xBF\xBD");
    EXPECT_EQ(id.product, "");
    EXPECT_EQ(id.revision, "\xC3\xA9t\xEF\xBF\xBD");  // a sequence cut at the field's end
}

TEST(LenientText, DecodeAndTrim) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"        ", ""},
        {"Vexlor  ", "Vexlor"},
        {"LS 50   ", "LS 50"},                       // the inner space stays
        {" \t\r\n\v\fx \t\r\n\v\f", "x"},
        {"\xC2\xA0x\xE3\x80\x80", "x"},              // no-break space, ideographic space
        {"\xE2\x80\x8Ax\xE2\x80\xA8\xC2\x85", "x"},  // hair space, line separator, next line
        {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},          // zero-width space is not white space
        {"\x1Cx", "\x1Cx"},                          // nor is a file separator
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xF0\x9F\x8E\x9E", "\xF0\x9F\x8E\x9E"},
        // One replacement per maximal invalid subpart.
        {"a\x80z", "a" + fffd + "z"},
        {"\xFF\xFE", fffd + fffd},
        {"\xC0\xAF", fffd + fffd},                   // overlong lead bytes are never valid
        {"\xE2\x82z", fffd + "z"},                   // a truncated 3-byte sequence is one subpart
        {"\xF0\x9F\x8Ez", fffd + "z"},
        {"\xF0\x9F\x8E", fffd},
        {"\xED\xA0\x80", fffd + fffd + fffd},        // surrogates: the lead alone is the subpart
        {"\xE0\x80\x80", fffd + fffd + fffd},
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"\xF5\x80", fffd + fffd},
        {"\xE1\x80\xE2\xF0\x91\x92\xF1\xBF\x41", fffd + fffd + fffd + fffd + "A"},
        {" \x80 ", fffd},                            // a replacement is not white space
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(lenient_text(bytes_of(in)), out) << vexlor::text::hex_dump(bytes_of(in));
    }
}

}  // namespace
