#include "emulator/film.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace vexlor::emulator::film {

namespace {

constexpr std::uint32_t FULL = 65535;

// Clear base (an orange mask on negative film) in red, green, blue and infrared, out of 65535.
constexpr std::uint32_t CLEAR[4] = {52000, 41000, 30000, 60000};
constexpr std::uint32_t DARK[4] = {2000, 1800, 1600, 58000};
// Infrared lost where the red-sensitive dye is densest.
constexpr std::uint32_t IR_CROSSTALK = 2600;
// A speck's density in infrared, in stops: it passes an eighth of the light.
constexpr double SHADOW_STOPS = 3.0;
// Points along each side of a sample at which a speck's edge is looked for.
constexpr int SUB = 16;

std::uint32_t hash(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    std::uint32_t h = x * 0x9E3779B1u ^ y * 0x85EBCA77u ^ seed * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return h;
}

// The picture inside a frame for one colour, 0 (light) to 65535 (dense): a gradient that runs
// differently per colour, hard-edged blocks, and fine grain.
std::uint32_t picture(const Frame& f, int colour, std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    const std::uint64_t u = std::uint64_t{x - f.left} * FULL / std::max<std::uint32_t>(f.width, 1);
    const std::uint64_t v = std::uint64_t{y - f.top} * FULL / std::max<std::uint32_t>(f.length, 1);
    std::uint64_t gradient;
    switch (colour) {
        case 0: gradient = u; break;
        case 1: gradient = v; break;
        default: gradient = FULL - (u + v) / 2; break;
    }
    const bool block = ((u * 5 / (FULL + 1)) + (v * 4 / (FULL + 1)) + static_cast<unsigned>(colour)) & 1;
    const std::uint32_t grain = hash(x >> 1, y >> 1, seed + static_cast<std::uint32_t>(colour)) & 0x3FFF;
    return static_cast<std::uint32_t>(gradient / 2 + (block ? 19660 : 0) + grain * 13107 / 0x3FFF);
}


// ---- the scene: a landscape on a slide

struct Rgb {
    double r, g, b;
};

Rgb mix(Rgb a, Rgb b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

double smooth(double from, double to, double v) {
    const double t = std::clamp((v - from) / (to - from), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// The light a point of the scene passes, 0 to 1 per colour. (px, py) run across the picture as
// a viewer sees it, px from 0 to 1.5 left to right, py from 0 to 1 top to bottom.
Rgb landscape(double px, double py) {
    const double horizon = 0.62;
    // Sky: deep blue overhead, paler towards the horizon, a warm glow round the sun.
    Rgb c = mix({0.16, 0.34, 0.74}, {0.80, 0.86, 0.93}, smooth(0.0, horizon, py));
    const double sx = px - 1.12, sy = py - 0.18, sun = std::sqrt(sx * sx + sy * sy);
    c = mix(c, {1.0, 0.90, 0.65}, 0.6 * std::exp(-sun * sun / 0.015));
    if (sun < 0.05) c = {1.0, 0.97, 0.86};
    // Two soft clouds.
    for (const auto [cx, cy, w, h] : {std::array{0.35, 0.16, 0.20, 0.045}, std::array{0.68, 0.26, 0.14, 0.03}}) {
        const double e = (px - cx) * (px - cx) / (w * w) + (py - cy) * (py - cy) / (h * h);
        c = mix(c, {0.96, 0.96, 0.97}, 0.9 * std::exp(-e * e));
    }
    // Far mountains, blue-grey with snow on the high peaks.
    const double ridge = 0.44 + 0.07 * std::sin(6.0 * px + 1.0) + 0.035 * std::sin(15.0 * px + 0.3) + 0.012 * std::sin(41.0 * px);
    if (py > ridge) {
        c = mix({0.42, 0.46, 0.58}, {0.56, 0.60, 0.68}, (py - ridge) / 0.2);
        if (py < 0.40 + 0.012 * std::sin(47.0 * px)) c = {0.93, 0.94, 0.97};
    }
    // Near hills, green, darker towards the viewer.
    const double hill = 0.60 + 0.05 * std::sin(3.1 * px + 2.0) + 0.015 * std::sin(13.0 * px);
    if (py > hill) c = mix({0.42, 0.62, 0.24}, {0.14, 0.32, 0.10}, (py - hill) / 0.4);
    // A lake in the meadow that mirrors the sky.
    const double lx = (px - 0.55) / 0.34, ly = (py - 0.80) / 0.08;
    if (lx * lx + ly * ly < 1.0) c = mix({0.30, 0.46, 0.74}, {0.62, 0.72, 0.86}, 1.0 - (py - 0.72) / 0.16);
    // A house: white walls, a red roof, a dark door and window.
    if (px > 1.05 && px < 1.25 && py > 0.66 && py < 0.78) {
        c = {0.90, 0.88, 0.80};
        if (px > 1.13 && px < 1.17 && py > 0.71) c = {0.25, 0.16, 0.10};
        if (px > 1.08 && px < 1.11 && py > 0.69 && py < 0.72) c = {0.20, 0.25, 0.35};
    }
    if (py > 0.58 && py <= 0.66 && std::abs(px - 1.15) < (py - 0.58) / 0.08 * 0.12) c = {0.62, 0.14, 0.10};
    // A tree: a trunk and a round crown.
    if (px > 0.235 && px < 0.265 && py > 0.55 && py < 0.74) c = {0.30, 0.20, 0.12};
    const double tx = px - 0.25, ty = py - 0.52;
    if (tx * tx + ty * ty < 0.075 * 0.075) c = mix({0.20, 0.45, 0.16}, {0.08, 0.24, 0.06}, (tx + ty + 0.075) / 0.15);
    return c;
}

// The scene's transmittance in one colour (red 0, green 1, blue 2) at an address inside frame `f`.
std::uint32_t scene(const Frame& f, int colour, std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    // Across the film is up the picture: the host's first row is the film's last pixel. A frame
    // of another shape than 3:2 shows the middle of the scene, undistorted.
    const double across = std::max<std::uint32_t>(f.width, 1);
    const double px = 0.75 + (double(y - f.top) - f.length / 2.0) / across;
    const double py = 1.0 - double(x - f.left) / across;
    const Rgb c = landscape(px, py);
    const double light = colour == 0 ? c.r : colour == 1 ? c.g : c.b;
    const double grain = (double(hash(x >> 1, y >> 1, seed + static_cast<std::uint32_t>(colour)) & 0xFFF) / 0xFFF - 0.5) * 0.03;
    return static_cast<std::uint32_t>(std::clamp(0.04 + 0.90 * light + grain, 0.0, 1.0) * CLEAR[3]);
}

}  // namespace

Light light_of(std::uint8_t window_id) {
    switch (window_id) {
        case 1: return Light::Red;
        case 3: return Light::Blue;
        case 9: return Light::Infrared;
        default: return Light::Green;
    }
}

double Film::coverage(const Speck& s, std::uint32_t x, std::uint32_t y, std::uint32_t x_pitch, std::uint32_t y_pitch) {
    // The sample's footprint, and the speck's bounding box, in continuous addresses.
    const double fx0 = x - 0.5, fy0 = y - 0.5, fx1 = fx0 + std::max<std::uint32_t>(x_pitch, 1),
                 fy1 = fy0 + std::max<std::uint32_t>(y_pitch, 1);
    const double sx = s.x, sy = s.y, size = s.size;
    double bx0 = 0, by0 = 0, bx1 = 0, by1 = 0;
    switch (s.mark) {
        case Mark::Dust: bx0 = sx - size, by0 = sy - size, bx1 = sx + size, by1 = sy + size; break;
        case Mark::Hair: bx0 = sx - 0.5, by0 = sy - 0.5, bx1 = sx + size - 0.5, by1 = sy + size / 8 + 1.5; break;
        case Mark::Scratch: bx0 = sx - 0.5, by0 = sy - 0.5, bx1 = sx + 0.5, by1 = sy + size - 0.5; break;
    }
    if (fx1 <= bx0 || fx0 >= bx1 || fy1 <= by0 || fy0 >= by1) return 0.0;
    const auto inside = [&](double px, double py) {
        switch (s.mark) {
            case Mark::Dust: return (px - sx) * (px - sx) + (py - sy) * (py - sy) <= size * size;
            case Mark::Hair: {  // across the film, two addresses thick, bending once
                const double u = px - sx;
                if (u < -0.5 || u >= size - 0.5) return false;
                const double bend = std::max(u < size / 2 ? u / 4 : (size - u) / 4, 0.0);
                return std::abs(py - (sy + bend + 0.5)) < 1.0;
            }
            case Mark::Scratch:  // along the film, one address wide
                return std::abs(px - sx) < 0.5 && py >= sy - 0.5 && py < sy + size - 0.5;
        }
        return false;
    };
    // A sample wholly inside a disc is covered; anything else is counted on a fine grid.
    if (s.mark == Mark::Dust && inside(fx0, fy0) && inside(fx1, fy0) && inside(fx0, fy1) && inside(fx1, fy1)) return 1.0;
    int hits = 0;
    for (int j = 0; j < SUB; ++j) {
        const double py = fy0 + (fy1 - fy0) * (j + 0.5) / SUB;
        for (int i = 0; i < SUB; ++i) hits += inside(fx0 + (fx1 - fx0) * (i + 0.5) / SUB, py);
    }
    return double(hits) / (SUB * SUB);
}

bool Film::marked(std::uint32_t x, std::uint32_t y, std::uint32_t x_pitch, std::uint32_t y_pitch) const {
    return std::any_of(specks.begin(), specks.end(),
                       [&](const Speck& s) { return coverage(s, x, y, x_pitch, y_pitch) > 0.0; });
}

std::uint16_t Film::transmittance(Light light, std::uint32_t x, std::uint32_t y, const Sensor& sensor) const {
    if (x < left || x >= right || y < start || y >= end) return 0;
    const int c = static_cast<int>(light);
    const auto& between = base == Base::Clear ? CLEAR : DARK;
    std::uint32_t t = between[c];
    for (const auto& f : frames) {
        if (y < f.top || y >= f.top + f.length || x < f.left || x >= f.left + f.width) continue;
        if (f.picture == Picture::Scene) {
            // Dyes are nearly clear in infrared; a little of the red dye's density shows.
            t = light == Light::Infrared ? CLEAR[3] - IR_CROSSTALK * (CLEAR[3] - scene(f, 0, x, y, seed)) / CLEAR[3]
                                         : scene(f, c, x, y, seed);
        } else if (light == Light::Infrared) {
            // Dyes are nearly clear in infrared; a little of the red dye's density shows.
            const std::uint64_t red = picture(f, 0, x, y, seed);
            t = static_cast<std::uint32_t>(CLEAR[3] - std::uint64_t{IR_CROSSTALK} * red * static_cast<unsigned>(f.density) / (100ull * FULL));
        } else {
            const std::uint64_t dense = picture(f, c, x, y, seed) * 9 / 10 + 3276;
            t = static_cast<std::uint32_t>(std::uint64_t{CLEAR[c]} * (100ull * FULL - dense * static_cast<unsigned>(f.density)) /
                                           (100ull * FULL));
            t = t * static_cast<std::uint32_t>(100 - std::clamp(f.darkness, 0, 100)) / 100;
        }
        break;
    }
    if (!specks.empty()) {
        // Each speck passes its share of the light over the part of the sample it covers.
        const double stops = light == Light::Infrared ? SHADOW_STOPS : SHADOW_STOPS * sensor.gain[static_cast<std::size_t>(c)];
        const double passed = std::exp2(-stops);
        double through = 1.0;
        for (const auto& s : specks) {
            const double cover = coverage(s, x, y, sensor.x_pitch, sensor.y_pitch);
            if (cover > 0.0) through *= 1.0 - cover * (1.0 - passed);
        }
        if (through < 1.0) t = static_cast<std::uint32_t>(std::lround(t * through));
    }
    return static_cast<std::uint16_t>(std::min(t, FULL));
}

std::uint16_t exposed(std::uint16_t t, std::uint32_t exposure, std::uint32_t nominal) {
    if (nominal == 0) nominal = 1;
    const std::uint64_t v = std::uint64_t{t} * CLEAR_GAIN_PERCENT * exposure / (100ull * nominal);
    return static_cast<std::uint16_t>(std::min<std::uint64_t>(v, FULL));
}

Film strip(const ModelValues& meant, int count, std::uint32_t offset) {
    return strip(meant, Plan{.count = count, .offset = offset, .specks = true});
}

Film strip(const ModelValues& meant, const Plan& plan) {
    const std::uint32_t dpi = meant.address.y.optical_dpi;
    const auto mm = [dpi](std::uint32_t hundredths) { return static_cast<std::uint32_t>(std::uint64_t{hundredths} * dpi / 2540); };
    Film film;
    film.base = plan.base;
    const std::uint32_t reach = meant.address.x.max_extent;
    const std::uint32_t width = std::min(mm(plan.width), reach);
    std::uint32_t y = plan.offset + mm(plan.lead);
    film.start = plan.offset;
    for (int i = 0; i < plan.count; ++i) {
        Frame f;
        f.top = y;
        f.length = mm(plan.frame);
        f.left = (reach - width) / 2;
        f.width = width;
        if (static_cast<std::size_t>(i) < plan.density.size()) f.density = std::clamp(plan.density[static_cast<std::size_t>(i)], 0, 100);
        if (static_cast<std::size_t>(i) < plan.darkness.size()) f.darkness = plan.darkness[static_cast<std::size_t>(i)];
        film.frames.push_back(f);
        // Frames advance a little unevenly: 85% to 115% of the gap.
        const std::uint32_t step = 170 + 15 * static_cast<std::uint32_t>((i * 7) % 5);
        y += f.length + mm(static_cast<std::uint32_t>(std::uint64_t{plan.gap} * step / 200));
    }
    film.end = y + mm(100);
    if (plan.perforated) {
        for (std::uint32_t p = plan.offset + mm(100); p < film.end; p += mm(475)) film.perforations.push_back(p);
    }
    if (plan.specks && !film.frames.empty()) {
        const auto& f = film.frames.front();
        film.specks = {{Mark::Dust, f.left + f.width / 3, f.top + f.length / 4, mm(8)},
                       {Mark::Dust, f.left + f.width / 2, f.top + f.length / 2, mm(4)},
                       {Mark::Hair, f.left + f.width / 5, f.top + f.length * 2 / 3, mm(300)},
                       {Mark::Scratch, f.left + f.width * 3 / 4, f.top + f.length / 8, mm(500)}};
    }
    return film;
}

void show_scene(Film& film, std::size_t index) {
    if (index >= film.frames.size()) return;
    film.base = Base::Dark;
    auto& f = film.frames[index];
    f.picture = Picture::Scene;
    f.density = 100;
    f.darkness = 0;
    // Dust where it shows against sky, snow, water and grass, and where it hides in detail: on the
    // roof's edge, the house's wall, the tree's crown and trunk, the snow line and the lake's
    // shore. (along, across from the picture's top, as fractions of the frame) and a radius in
    // 1/1000 of the frame's width (24 um on 135).
    constexpr struct {
        int along, down, radius;
    } dust[] = {{120, 140, 10}, {300, 300, 6}, {450, 90, 4},  {580, 200, 8}, {850, 120, 5}, {640, 420, 7},
                {320, 800, 9},  {500, 860, 5}, {160, 920, 6}, {900, 880, 4}, {727, 620, 6}, {700, 720, 5},
                {217, 520, 7},  {400, 400, 6}, {367, 720, 8}, {177, 650, 4}};
    film.specks.clear();
    for (const auto& d : dust) {
        film.specks.push_back({Mark::Dust, f.left + static_cast<std::uint32_t>(std::uint64_t{f.width} * (1000 - d.down) / 1000),
                               f.top + static_cast<std::uint32_t>(std::uint64_t{f.length} * d.along / 1000),
                               std::max<std::uint32_t>(static_cast<std::uint32_t>(std::uint64_t{f.width} * d.radius / 1000), 2)});
    }
}

protocol::data::PerforationInformation perforation_at(const Film& film, std::uint32_t y) {
    protocol::data::PerforationInformation r;
    const auto& p = film.perforations;
    if (p.empty() || y < p.front()) return r;
    const auto next = std::upper_bound(p.begin(), p.end(), y);
    const auto k = static_cast<std::size_t>(next - p.begin()) - 1;
    r.perf_number = static_cast<std::uint16_t>(k);
    if (next == p.end()) return r;  // past the last perforation the counter stands
    const std::uint32_t into = y - p[k], pitch = *next - p[k];
    r.perf_decimal = static_cast<std::uint8_t>(4 * into / pitch);
    r.pulse_number = static_cast<std::uint8_t>(std::min<std::uint32_t>(into / 4, 255));
    return r;
}

std::vector<protocol::data::PerforationInformation> perforation_readings(const Film& film, std::uint32_t y0, std::uint32_t pitch,
                                                                         std::uint64_t lines) {
    std::vector<protocol::data::PerforationInformation> out;
    out.reserve(static_cast<std::size_t>(lines));
    for (std::uint64_t i = 0; i < lines; ++i) {
        auto r = perforation_at(film, static_cast<std::uint32_t>(y0 + i * pitch));
        r.count_switching_flag = !out.empty() && out.back().perf_number != r.perf_number;
        out.push_back(r);
    }
    return out;
}

Film published(const ModelValues& meant) {
    Film film;
    if (!meant.frames) return film;
    for (const auto& f : meant.frames->frames) {
        if (!f.present) continue;
        film.frames.push_back(Frame{f.y, f.length, f.x, f.width, 100});
    }
    return film;
}

}  // namespace vexlor::emulator::film
