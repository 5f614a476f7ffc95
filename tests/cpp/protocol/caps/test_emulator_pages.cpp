// The emulated models' pages read back to exactly the values the emulator meant.
#include <bit>

#include <gtest/gtest.h>

#include "emulator/pages.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/caps/film.hpp"
#include "protocol/curves.hpp"

using namespace vexlor;
using namespace vexlor::protocol::caps;
using protocol::model::Model;

namespace {

constexpr Model all_models[] = {Model::Ls40, Model::Ls50, Model::Ls4000, Model::Ls5000, Model::Ls8000, Model::Ls9000};

template <class Record>
Record read_back(Model m, std::uint8_t code) {
    const auto bytes = emulator::vpd_page(m, code);
    EXPECT_TRUE(bytes.has_value());
    if (!bytes) return {};
    EXPECT_EQ(bytes->at(1), code);
    EXPECT_EQ(bytes->size(), std::size_t{bytes->at(3)} + 4);
    EXPECT_LE(bytes->size(), 255u);
    const auto r = Record::from_page(Page{*bytes, code});
    EXPECT_TRUE(r.has_value()) << to_string(r.error());
    return r.value_or(Record{});
}

class EmulatorPages : public ::testing::TestWithParam<Model> {};

}  // namespace

TEST_P(EmulatorPages, ReadBackAsMeant) {
    const Model m = GetParam();
    const auto& meant = emulator::model_values(m);
    EXPECT_EQ(meant.model, m);
    EXPECT_EQ(read_back<address::Address>(m, 0xC1), meant.address);
    EXPECT_EQ(read_back<set_window::SetWindowFunction>(m, 0xD1), meant.set_window);
    EXPECT_EQ(read_back<other::Features>(m, 0xE1), meant.features);

    // A frame table exactly where the address page announces one.
    const bool publishes = (meant.address.framing_flags & address::PUBLISHES_FRAMES) != 0;
    EXPECT_EQ(meant.frames.has_value(), publishes);
    if (publishes) {
        EXPECT_EQ(read_back<frames::Frames>(m, 0xC8), *meant.frames);
    } else {
        EXPECT_EQ(emulator::vpd_page(m, 0xC8), std::nullopt);
    }

    // The CCD record fits its page, and the reference colour's table is the identity.
    if (meant.ccd) {
        const auto ccd = read_back<ccd::CcdMeasurement>(m, 0xE3);
        EXPECT_EQ(ccd, *meant.ccd);
        const auto words = emulator::ccd_record(m);
        ASSERT_TRUE(words.has_value());
        const auto curves = protocol::curves::Curves::parse(ccd, *words, meant.address.ccd_lines, 0);
        ASSERT_TRUE(curves.has_value());
        ASSERT_EQ(curves->tables.size(), meant.address.ccd_lines);
        const auto& reference = curves->tables[meant.address.ccd_lines / 2];
        for (std::size_t i = 0; i < reference.size(); ++i) ASSERT_EQ(reference[i], i);
        EXPECT_EQ(std::popcount(unsigned{ccd.channels}), meant.address.ccd_lines);
    } else {
        EXPECT_EQ(emulator::vpd_page(m, 0xE3), std::nullopt);
        EXPECT_EQ(emulator::ccd_record(m), std::nullopt);
        EXPECT_FALSE(meant.features.supports_read(0x91));
    }
    EXPECT_EQ(emulator::vpd_page(m, 0xC0), std::nullopt);
}

TEST_P(EmulatorPages, ConsistentGeometry) {
    const auto& a = emulator::model_values(GetParam()).address;
    for (const auto* axis : {&a.x, &a.y}) {
        EXPECT_LE(axis->origin_min, axis->origin_max);
        EXPECT_LE(axis->min_dpi, axis->max_dpi);
        EXPECT_EQ(axis->max_dpi, axis->optical_dpi);
    }
    EXPECT_LE(a.x.max_extent, a.sensor_pixels);
    EXPECT_LE(a.thumbnail_dpi_min, a.thumbnail_dpi_max);
    EXPECT_LT(a.focus_min, a.focus_max);
    if (a.pitch_rule == 2) {
        EXPECT_GT(a.line_gap, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(AllModels, EmulatorPages, ::testing::ValuesIn(all_models),
                         [](const auto& info) { return std::string(protocol::model::debug_name(info.param)); });

TEST(EmulatorPages, FilmFormatsFromTheLoadedHolders) {
    using film::FilmFormat;
    using Kind = FilmFormat::Kind;
    const std::pair<Model, std::optional<Kind>> cases[] = {
        {Model::Ls40, Kind::F135},   {Model::Ls50, Kind::F135},   {Model::Ls4000, Kind::IX240},
        {Model::Ls5000, Kind::F16},  {Model::Ls8000, Kind::F66},  {Model::Ls9000, std::nullopt},
    };
    for (const auto& [m, want] : cases) {
        Capabilities c;
        c.identity.product = std::string(protocol::model::name(m));
        c.address = emulator::model_values(m).address;
        const auto f = FilmFormat::resolve(std::nullopt, c);
        if (want) {
            EXPECT_EQ(f, FilmFormat(*want)) << protocol::model::name(m);
        } else {
            ASSERT_FALSE(f.has_value());
            EXPECT_EQ(to_string(f.error()), "film format is not supported: this holder does not fix it (try: 66, 67, 69)");
        }
    }
}
