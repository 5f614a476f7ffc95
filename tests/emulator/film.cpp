#include "emulator/film.hpp"

#include <algorithm>

namespace vexlor::emulator::film {

namespace {

constexpr std::uint32_t FULL = 65535;

// Clear base (an orange mask on negative film) in red, green, blue and infrared, out of 65535.
constexpr std::uint32_t CLEAR[4] = {52000, 41000, 30000, 60000};
constexpr std::uint32_t DARK[4] = {2000, 1800, 1600, 58000};
// Infrared lost where the red-sensitive dye is densest.
constexpr std::uint32_t IR_CROSSTALK = 2600;

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

}  // namespace

Light light_of(std::uint8_t window_id) {
    switch (window_id) {
        case 1: return Light::Red;
        case 3: return Light::Blue;
        case 9: return Light::Infrared;
        default: return Light::Green;
    }
}

bool Film::marked(std::uint32_t x, std::uint32_t y) const {
    for (const auto& s : specks) {
        switch (s.mark) {
            case Mark::Dust: {
                const std::int64_t dx = std::int64_t{x} - s.x, dy = std::int64_t{y} - s.y;
                if (dx * dx + dy * dy <= std::int64_t{s.size} * s.size) return true;
                break;
            }
            case Mark::Hair:  // across the film, two addresses thick, bending once
                if (x >= s.x && x < s.x + s.size) {
                    const std::uint32_t bend = (x - s.x) < s.size / 2 ? (x - s.x) / 4 : (s.size - (x - s.x)) / 4;
                    if (y >= s.y + bend && y < s.y + bend + 2) return true;
                }
                break;
            case Mark::Scratch:  // along the film, one address wide
                if (x == s.x && y >= s.y && y < s.y + s.size) return true;
                break;
        }
    }
    return false;
}

std::uint16_t Film::transmittance(Light light, std::uint32_t x, std::uint32_t y) const {
    if (x < left || x >= right || y < start || y >= end) return 0;
    const int c = static_cast<int>(light);
    const auto& between = base == Base::Clear ? CLEAR : DARK;
    std::uint32_t t = between[c];
    for (const auto& f : frames) {
        if (y < f.top || y >= f.top + f.length || x < f.left || x >= f.left + f.width) continue;
        if (light == Light::Infrared) {
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
    if (!specks.empty() && marked(x, y)) t = t / 8;
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
