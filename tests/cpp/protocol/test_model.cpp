#include <gtest/gtest.h>

#include "protocol/model.hpp"

using namespace vexlor::protocol::model;

TEST(Model, FromProductText) {
    const std::pair<const char*, std::optional<Model>> cases[] = {
        {"LS-40", Model::Ls40},
        {"LS-40 X", Model::Ls40},
        {"LS-4000", Model::Ls4000},
        {"LS-4000 X", Model::Ls4000},
        {"LS-50", Model::Ls50},
        {"XLS-50Y", Model::Ls50},
        {"LS-5000", Model::Ls5000},
        {"SUPER LS-5000", Model::Ls5000},
        {"LS-8000", Model::Ls8000},
        {"LS-9000 X", Model::Ls9000},
        {"LS-50 LS-9000", Model::Ls9000},  // earlier rows win wherever they occur
        {"ls-5000", std::nullopt},
        {"LS-4", std::nullopt},
        {"LS 40", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(from_product(text), want) << text;
}

TEST(Model, NamesAndUsbIds) {
    struct Case {
        Model model;
        const char* name;
        const char* debug;
        std::optional<std::uint16_t> usb;
    };
    const Case cases[] = {
        {Model::Ls40, "LS-40", "Ls40", 0x4000},     {Model::Ls50, "LS-50", "Ls50", 0x4001},
        {Model::Ls4000, "LS-4000", "Ls4000", std::nullopt}, {Model::Ls5000, "LS-5000", "Ls5000", 0x4002},
        {Model::Ls8000, "LS-8000", "Ls8000", std::nullopt}, {Model::Ls9000, "LS-9000", "Ls9000", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(name(c.model), c.name);
        EXPECT_EQ(debug_name(c.model), c.debug);
        EXPECT_EQ(usb_product(c.model), c.usb) << c.name;
        EXPECT_EQ(from_product(name(c.model)), c.model) << c.name;
        if (c.usb) {
            EXPECT_EQ(from_usb_product(*c.usb), c.model) << c.name;
        }
    }
    EXPECT_EQ(from_usb_product(0x4003), std::nullopt);
    EXPECT_EQ(from_usb_product(0x0000), std::nullopt);
}
