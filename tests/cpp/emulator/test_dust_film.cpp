// The emulated film's defects: how much of a sample each covers, and how deep their shadow is in
// infrared and in the colours.
#include <gtest/gtest.h>

#include <cmath>

#include "emulator/film.hpp"

namespace vexlor::emulator::film {
namespace {

TEST(Specks, CoverTheShareOfASampleTheyLieOn) {
    const Speck dust{Mark::Dust, 100, 100, 10};
    const Speck scratch{Mark::Scratch, 50, 0, 100};
    const Speck hair{Mark::Hair, 300, 300, 80};
    struct Case {
        const char* what;
        Speck speck;
        std::uint32_t x, y, pitch;
        double want, within;
    };
    const Case cases[] = {
        {"dust, its middle", dust, 100, 100, 1, 1.0, 0.0},
        {"dust, a coarse sample inside it", dust, 96, 96, 8, 1.0, 0.0},
        {"dust, on its edge", dust, 110, 100, 1, 0.5, 0.05},
        {"dust, a coarse sample over its edge", dust, 108, 96, 4, 0.55, 0.05},  // the edge near x = 109.7
        {"dust, beside it", dust, 111, 100, 1, 0.0, 0.0},
        {"dust, far off", dust, 200, 200, 1, 0.0, 0.0},
        {"scratch, on it", scratch, 50, 99, 1, 1.0, 0.0},
        {"scratch, past its end", scratch, 50, 100, 1, 0.0, 0.0},
        {"scratch, one address of a sample four wide", scratch, 48, 10, 4, 0.25, 0.0},
        // A hair bends from its first address on: an eighth of an address across that one.
        {"hair, its first address", hair, 300, 300, 1, 1.0, 0.05},
        {"hair, beside it", hair, 300, 302, 1, 0.0, 0.05},
        {"hair, its bend", hair, 340, 310, 1, 1.0, 0.0},
        {"hair, half of a sample two addresses high", hair, 300, 299, 2, 0.45, 0.05},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(Film::coverage(c.speck, c.x, c.y, c.pitch, c.pitch), c.want, c.within) << c.what;
    }
}

TEST(Specks, ShadeTheColoursByTheGainTimesTheirInfraredDensity) {
    // Clear base without frames, one speck: a sample wholly on it and one half on it.
    Film film;
    film.specks = {{Mark::Dust, 100, 100, 10}};
    const Film bare;
    const auto density = [&](Light l, std::uint32_t x, const Sensor& s) {
        return std::log2(double(bare.transmittance(l, x, 100, s)) / film.transmittance(l, x, 100, s));
    };
    for (const float gain : {1.0f, 1.1f}) {
        const Sensor sensor{1, 1, {gain, gain, gain}};
        EXPECT_NEAR(density(Light::Infrared, 100, sensor), 3.0, 0.01) << gain;
        for (const auto light : {Light::Red, Light::Green, Light::Blue}) {
            EXPECT_NEAR(density(light, 100, sensor), 3.0 * gain, 0.01) << gain;
        }
        // Half covered, half the light is held back as the speck would, half passes.
        EXPECT_NEAR(film.transmittance(Light::Infrared, 110, 100, sensor) / double(bare.transmittance(Light::Infrared, 110, 100)),
                    1 - 0.5 * (1 - 1 / 8.0), 0.05);
    }
}

}  // namespace
}  // namespace vexlor::emulator::film
