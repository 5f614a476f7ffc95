#include <gtest/gtest.h>

#include "protocol/caps/caps.hpp"
#include "protocol/caps/film.hpp"

using namespace vexlor;
using protocol::caps::film::FilmFormat;
using Kind = FilmFormat::Kind;

TEST(FilmFormat, ParseDisplayDebug) {
    struct Case {
        const char* text;
        FilmFormat want;
        const char* display;
        const char* debug;
    };
    const Case cases[] = {
        {"IX240", FilmFormat(Kind::IX240), "IX240", "IX240"},
        {"aps", FilmFormat(Kind::IX240), "IX240", "IX240"},
        {"APS", FilmFormat(Kind::IX240), "IX240", "IX240"},
        {"135", FilmFormat(Kind::F135), "135", "F135"},
        {"half", FilmFormat(Kind::F135Half), "half", "F135Half"},
        {"135half", FilmFormat(Kind::F135Half), "half", "F135Half"},
        {"16", FilmFormat(Kind::F16), "16", "F16"},
        {"645", FilmFormat(Kind::F645), "645", "F645"},
        {"66", FilmFormat(Kind::F66), "66", "F66"},
        {"67", FilmFormat(Kind::F67), "67", "F67"},
        {"68", FilmFormat(Kind::F68), "68", "F68"},
        {"69", FilmFormat(Kind::F69), "69", "F69"},
        {"56", FilmFormat::custom(56), "56", "Custom(56)"},
        {"+56", FilmFormat::custom(56), "56", "Custom(56)"},
        {"056", FilmFormat::custom(56), "56", "Custom(56)"},
        {"0", FilmFormat::custom(0), "0", "Custom(0)"},
        {"4294967295", FilmFormat::custom(4294967295u), "4294967295", "Custom(4294967295)"},
        {"0000000000007", FilmFormat::custom(7), "7", "Custom(7)"},
    };
    for (const auto& c : cases) {
        const auto f = FilmFormat::parse(c.text);
        ASSERT_TRUE(f.has_value()) << c.text << ": " << f.error();
        EXPECT_EQ(*f, c.want) << c.text;
        EXPECT_EQ(to_string(*f), c.display) << c.text;
        EXPECT_EQ(fmt::format("{}", *f), c.display) << c.text;
        EXPECT_EQ(debug_string(*f), c.debug) << c.text;
        // Display gives back an accepted text of the same format.
        EXPECT_EQ(FilmFormat::parse(to_string(*f)), *f) << c.text;
    }
}

TEST(FilmFormat, ParseErrors) {
    for (const char* text : {"Aps", "ix240", "HALF", "4294967296", "-5", "+", "", " 56", "56 ", "5a", "++5", "1e3"}) {
        const auto f = FilmFormat::parse(text);
        ASSERT_FALSE(f.has_value()) << text;
        EXPECT_EQ(f.error(), fmt::format("'{}' is neither a film format nor a height in mm", text));
    }
}

namespace {

protocol::caps::Capabilities caps_of(const char* product, std::optional<std::uint8_t> holder_switch,
                                     std::optional<std::uint8_t> holder, std::optional<std::uint8_t> holder2) {
    protocol::caps::Capabilities c;
    c.identity.product = product;
    c.address.holder_switch = holder_switch;
    c.address.holder = holder;
    c.address.holder2 = holder2;
    return c;
}

}  // namespace

TEST(FilmFormat, ResolveFromHolders) {
    struct Case {
        const char* product;
        std::optional<std::uint8_t> holder_switch, holder, holder2;
        std::optional<FilmFormat> want;  // none: the error below
        const char* error;
    };
    const Case cases[] = {
        {"LS-50", std::nullopt, 49, 53, FilmFormat(Kind::F135), nullptr},
        {"LS-5000", 1, 49, 53, FilmFormat(Kind::IX240), nullptr},          // the switch selects slot 2
        {"LS-8000", 1, 26, 53, FilmFormat(Kind::F66), nullptr},            // slot 1 always
        {"LS-9000", 1, 29, std::nullopt, FilmFormat(Kind::F69), nullptr},  // slot 1 always
        {"LS-40", 1, 49, std::nullopt, std::nullopt, "film format is not supported: no holder loaded; supply a format"},
        {"LS-4000", std::nullopt, std::nullopt, 49, std::nullopt,
         "film format is not supported: no holder loaded; supply a format"},
        {"LS-8000", std::nullopt, 22, std::nullopt, std::nullopt,
         "film format is not supported: this holder does not fix it (try: 66, 67, 69)"},
        {"LS-50", std::nullopt, 20, std::nullopt, std::nullopt,
         "film format is not supported: this holder does not fix it (try: 66, 67, 69)"},
        {"LS-50", std::nullopt, 24, std::nullopt, std::nullopt,
         "film format is not supported: this holder does not fix it (try: 66, 67, 69)"},
        {"LS-50", std::nullopt, 19, std::nullopt, std::nullopt, "film format is not supported: this holder does not fix it"},
        {"LS-50", std::nullopt, 30, std::nullopt, std::nullopt, "film format is not supported: this holder does not fix it"},
        {"XS-100", std::nullopt, 49, std::nullopt, std::nullopt, "film format is not supported: unrecognized model"},
    };
    for (const auto& c : cases) {
        const auto f = FilmFormat::resolve(std::nullopt, caps_of(c.product, c.holder_switch, c.holder, c.holder2));
        if (c.want) {
            ASSERT_TRUE(f.has_value()) << c.product << ": " << to_string(f.error());
            EXPECT_EQ(*f, *c.want) << c.product;
        } else {
            ASSERT_FALSE(f.has_value()) << c.product;
            EXPECT_EQ(to_string(f.error()), c.error) << c.product;
        }
    }
    // A given format wins, even where the holders could not fix one.
    EXPECT_EQ(FilmFormat::resolve(FilmFormat::custom(56), caps_of("XS-100", std::nullopt, std::nullopt, std::nullopt)),
              FilmFormat::custom(56));
}

TEST(FilmFormat, HolderCodes) {
    const std::pair<std::uint8_t, Kind> table[] = {
        {18, Kind::F16}, {25, Kind::F645}, {26, Kind::F66}, {27, Kind::F67}, {28, Kind::F68},
        {29, Kind::F69}, {49, Kind::F135}, {50, Kind::F135}, {53, Kind::IX240},
    };
    for (unsigned code = 0; code < 256; ++code) {
        std::optional<FilmFormat> want;
        for (const auto& [c, k] : table) {
            if (c == code) want = FilmFormat(k);
        }
        EXPECT_EQ(protocol::caps::film::from_holder(static_cast<std::uint8_t>(code)), want) << code;
    }
}
