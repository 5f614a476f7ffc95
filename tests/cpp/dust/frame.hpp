// A small synthetic frame for the dust tests: smooth colour texture, an infrared plane that
// carries a known share of the red density, an opaque patch, and dust, a hair and a scratch
// drawn into the infrared (and darkening the colours).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vexlor::test_support {

struct Rect {
    std::size_t top, left, bottom, right;  // inclusive
    bool contains(std::size_t y, std::size_t x) const { return y >= top && y <= bottom && x >= left && x <= right; }
};

struct Frame {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::array<std::vector<std::uint16_t>, 3> color;  // as scanned, damage included
    std::array<std::vector<std::uint16_t>, 3> truth;  // the colour without the damage
    std::vector<std::uint16_t> infrared;
    std::vector<std::uint8_t> drawn;  // pixels under dust, hair or scratch
    Rect opaque{};

    std::array<std::span<std::uint16_t>, 3> planes() { return {color[0], color[1], color[2]}; }
    std::size_t at(std::size_t y, std::size_t x) const { return y * cols + x; }
};

// Level of a density, in double precision, independently of the code under test.
inline std::uint16_t level_for(double d) {
    const double v = std::round(std::exp2(d / 4095.9375) - 1.0);
    return static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0));
}
inline double density_of(std::uint16_t v) { return std::log2(v + 1.0) * 4095.9375; }

struct FramePlan {
    std::size_t rows = 96;
    std::size_t cols = 128;
    double crosstalk = 0.06;  // infrared density per unit of red density
    bool opaque = true;
    bool damage = true;
};

inline Frame make_frame(const FramePlan& plan) {
    Frame f;
    f.rows = plan.rows;
    f.cols = plan.cols;
    const std::size_t n = f.rows * f.cols;
    for (auto& p : f.truth) p.resize(n);
    f.infrared.resize(n);
    f.drawn.assign(n, 0);
    // Clear film around level 60000 in the infrared, less where the red dye is dense.
    const double base = density_of(60000) - plan.crosstalk * density_of(20000);
    for (std::size_t y = 0; y < f.rows; ++y) {
        for (std::size_t x = 0; x < f.cols; ++x) {
            const double sy = static_cast<double>(y), sx = static_cast<double>(x);
            const double r = 20000 + 12000 * std::sin(sx / 5.0) * std::sin(sy / 7.0) + 3000 * std::cos((sx + sy) / 3.0);
            const double g = 26000 + 9000 * std::sin(sx / 9.0 + 1.0) * std::cos(sy / 6.0);
            const double b = 15000 + 7000 * std::cos(sx / 4.0) * std::sin(sy / 8.0 + 0.5);
            const std::size_t i = f.at(y, x);
            f.truth[0][i] = static_cast<std::uint16_t>(r);
            f.truth[1][i] = static_cast<std::uint16_t>(g);
            f.truth[2][i] = static_cast<std::uint16_t>(b);
            f.infrared[i] = level_for(base + plan.crosstalk * density_of(f.truth[0][i]));
        }
    }
    if (plan.opaque && f.rows >= 40 && f.cols >= 40) {
        // Where no infrared passes, as beside the frame or under a dense black.
        f.opaque = Rect{f.rows * 5 / 8, f.cols * 11 / 16, f.rows * 7 / 8, f.cols * 15 / 16};
        for (std::size_t y = f.opaque.top; y <= f.opaque.bottom; ++y) {
            for (std::size_t x = f.opaque.left; x <= f.opaque.right; ++x) {
                const std::size_t i = f.at(y, x);
                f.infrared[i] = 300;
                for (auto& p : f.truth) p[i] = 400;
            }
        }
    }
    f.color = f.truth;
    if (!plan.damage) return f;

    const auto hit = [&](std::ptrdiff_t y, std::ptrdiff_t x) {
        if (y < 0 || x < 0 || y >= static_cast<std::ptrdiff_t>(f.rows) || x >= static_cast<std::ptrdiff_t>(f.cols)) return;
        const std::size_t i = f.at(static_cast<std::size_t>(y), static_cast<std::size_t>(x));
        if (f.drawn[i]) return;
        f.drawn[i] = 1;
        f.infrared[i] = static_cast<std::uint16_t>(f.infrared[i] * 0.3);
        for (auto& p : f.color) p[i] = static_cast<std::uint16_t>(p[i] * 0.45);
    };
    const auto sy = [&](double fy) { return static_cast<std::ptrdiff_t>(fy * static_cast<double>(f.rows)); };
    const auto sx = [&](double fx) { return static_cast<std::ptrdiff_t>(fx * static_cast<double>(f.cols)); };
    // Dust specks of radius 1 to 3.
    const struct {
        double y, x;
        int r;
    } specks[] = {{0.15, 0.15, 2}, {0.3, 0.45, 3}, {0.75, 0.25, 2}, {0.2, 0.8, 1}, {0.5, 0.9, 1}};
    for (const auto& s : specks) {
        for (int dy = -s.r; dy <= s.r; ++dy) {
            for (int dx = -s.r; dx <= s.r; ++dx) {
                if (dy * dy + dx * dx <= s.r * s.r) hit(sy(s.y) + dy, sx(s.x) + dx);
            }
        }
    }
    // A hair: a thin diagonal, one pixel wide.
    for (std::ptrdiff_t k = 0; k < sx(0.3); ++k) hit(sy(0.42) + k / 2, sx(0.08) + k);
    // A scratch along the rows, two pixels wide.
    for (std::ptrdiff_t x = sx(0.1); x < sx(0.5); ++x) {
        hit(sy(0.9), x);
        hit(sy(0.9) + 1, x);
    }
    return f;
}

}  // namespace vexlor::test_support
