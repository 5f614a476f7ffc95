// The density scale, the clear-film calibration and the tuning block.
// Built with -ffp-contract=off: every float step below is meant bit for bit, in the order written.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "dust/detail.hpp"
#include "dust/dust.hpp"

namespace vexlor::dust {

namespace {

constexpr std::uint16_t CLEAR_LEVEL = 8848;  // infrared at or above this is clear film
// Offsets (row, column) of the four 4 x 4 quadrants of an 8 x 8 block, in the order they count.
constexpr std::pair<std::size_t, std::size_t> QUADRANTS[4] = {{0, 0}, {0, 4}, {4, 0}, {4, 4}};

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
constexpr std::size_t LARGE_IMAGE = 4 * HUGE_PAGE;

}  // namespace

namespace detail {

void* allocate_image(std::size_t bytes) {
    if (bytes < LARGE_IMAGE) return ::operator new(bytes);
    const std::size_t size = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* p = std::aligned_alloc(HUGE_PAGE, size);
    if (!p) throw std::bad_alloc();
    // Only advice: without transparent huge pages the memory is ordinary pages.
    madvise(p, size, MADV_HUGEPAGE);
    return p;
}

void free_image(void* p, std::size_t bytes) noexcept {
    if (bytes < LARGE_IMAGE) {
        ::operator delete(p);
    } else {
        std::free(p);
    }
}

}  // namespace detail

// ---- densities

float density(std::uint16_t v) { return std::log2(static_cast<float>(v) + 1.0f) * detail::DENSITY_SCALE; }

const Table& LUT() {
    static const Table table = [] {
        Table t;
        for (std::size_t v = 0; v < t.size(); ++v) t[v] = density(static_cast<std::uint16_t>(v));
        return t;
    }();
    return table;
}

float fraction_density(float f) {
    // A NaN fraction counts as 0 rather than reaching the integer conversion.
    const float clamped = std::isnan(f) ? 0.0f : std::clamp(f, 0.0f, 1.0f);
    const float scaled = std::clamp(clamped * 65535.0f, 0.0f, 65535.0f);
    return density(static_cast<std::uint16_t>(scaled));
}

Image<float> to_density(std::span<const std::uint16_t> plane) {
    const Table& lut = LUT();
    Image<float> out(plane.size());
    detail::for_chunks(plane.size(), [&](std::size_t first, std::size_t last) {
        const float* __restrict d = lut.data();
        const std::uint16_t* __restrict in = plane.data();
        float* __restrict o = out.data();
        for (std::size_t i = first; i < last; ++i) o[i] = d[in[i]];
    });
    return out;
}

void from_density(std::span<const float> densities, std::span<std::uint16_t> levels) {
    const std::size_t n = std::min(densities.size(), levels.size());
    detail::for_chunks(n, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) levels[i] = detail::level_of(densities[i]);
    });
}

// ---- calibration

std::string debug_string(const Calibration& c) {
    return fmt::format("Calibration {{ c: {}, ir_ref: {} }}", c.c, c.ir_ref);
}

std::optional<Calibration> calibrate(std::span<const std::uint16_t> red, std::span<const std::uint16_t> infrared,
                                     std::size_t rows, std::size_t cols) {
    // The densities are read from the table where they are needed: the same values as two
    // density images, without making them.
    const float* lut = LUT().data();

    // Clear-film means, weighted by the squared infrared level. Each chunk sums in index order
    // and the chunks are added in index order, so the sums do not depend on the thread count.
    struct Means {
        double w = 0.0, r = 0.0, i = 0.0;
    };
    const std::size_t n = std::min(red.size(), infrared.size());
    std::vector<Means> parts((n + CHUNK - 1) / CHUNK);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, parts.size()), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t k = r.begin(); k != r.end(); ++k) {
            Means m;
            const std::size_t last = std::min(n, (k + 1) * CHUNK);
            for (std::size_t i = k * CHUNK; i < last; ++i) {
                if (infrared[i] < CLEAR_LEVEL) continue;
                const double level = infrared[i];
                const double w = level * level;
                m.w += w;
                m.r += w * lut[red[i]];
                m.i += w * lut[infrared[i]];
            }
            parts[k] = m;
        }
    });
    Means total;
    for (const Means& m : parts) {
        total.w += m.w;
        total.r += m.r;
        total.i += m.i;
    }
    if (total.w == 0.0) return std::nullopt;

    // Crosstalk slope from the quadrants of fully clear 8 x 8 blocks. A block row is one task;
    // rows are added in order.
    struct Slope {
        double a = 0.0, b = 0.0;
    };
    const std::size_t bw = cols / 8;
    const std::size_t bh = rows / 8;
    // Blocks must lie inside both planes; a caller's short plane just has fewer blocks.
    const std::size_t usable_rows = cols == 0 ? 0 : std::min(bh, n / cols / 8);
    std::vector<Slope> slopes(usable_rows);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, usable_rows), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t by = r.begin(); by != r.end(); ++by) {
            Slope s;
            for (std::size_t bx = 0; bx < bw; ++bx) {
                const std::size_t origin = 8 * by * cols + 8 * bx;
                bool clear = true;
                for (std::size_t y = 0; y < 8 && clear; ++y) {
                    for (std::size_t x = 0; x < 8; ++x) {
                        if (infrared[origin + y * cols + x] < CLEAR_LEVEL) {
                            clear = false;
                            break;
                        }
                    }
                }
                if (!clear) continue;
                float r64 = 0.0f, i64 = 0.0f, l = 0.0f;
                for (std::size_t y = 0; y < 8; ++y) {
                    for (std::size_t x = 0; x < 8; ++x) {
                        const std::size_t i = origin + y * cols + x;
                        r64 += lut[red[i]];
                        i64 += lut[infrared[i]];
                        l += static_cast<float>(infrared[i]);
                    }
                }
                for (const auto& [qy, qx] : QUADRANTS) {
                    float qr = 0.0f, qi = 0.0f;
                    for (std::size_t y = 0; y < 4; ++y) {
                        for (std::size_t x = 0; x < 4; ++x) {
                            const std::size_t i = origin + (qy + y) * cols + qx + x;
                            qr += lut[red[i]];
                            qi += lut[infrared[i]];
                        }
                    }
                    const float dr = qr * 0.0625f - r64 * 0.015625f;
                    const float slope = (qi * 0.0625f - i64 * 0.015625f) / dr;
                    if (!std::isfinite(slope) || std::fabs(slope) > 0.2f) continue;
                    const float w = dr * dr * l * l;
                    s.a += static_cast<double>(slope) * static_cast<double>(w);
                    s.b += static_cast<double>(w);
                }
            }
            slopes[by] = s;
        }
    });
    Slope sum;
    for (const Slope& s : slopes) {
        sum.a += s.a;
        sum.b += s.b;
    }
    const float c = sum.b > 0.0 ? static_cast<float>(sum.a / sum.b) : 0.0f;
    const float mean_ir = static_cast<float>(total.i / total.w);
    const float mean_red = static_cast<float>(total.r / total.w);
    const float ir_ref = (mean_ir - mean_red * c) / (1.0f - c);
    return Calibration{c, ir_ref};
}

// ---- tuning

Params Params::make(const Settings& settings, const Calibration& calibration) {
    const Profile& profile = PROFILES[settings.profile < PROFILES.size() ? settings.profile : 0];
    Params p;
    p.grain_lo = fraction_density(profile.grain_floor);
    p.grain_hi = fraction_density(profile.grain_ceiling);
    p.slopes = profile.slopes;
    p.c = calibration.c;
    p.ir_ref = calibration.ir_ref;
    p.gate_zero = profile.gate_offset + (fraction_density(settings.threshold) - 65535.0f);
    p.clean_level = -65535.0f + (calibration.ir_ref + fraction_density(0.98f));
    p.inv_falloff = 1.0f / profile.falloff;
    p.opaque = fraction_density(0.065f);
    p.gain = profile.gain;
    p.min3 = settings.dpi > 550;
    p.envelope = settings.dpi > profile.envelope_dpi;
    return p;
}

}  // namespace vexlor::dust
