// Built with -ffp-contract=off: every float step below is meant bit for bit, in the order written.
#include "dust/dust.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

namespace vexlor::dust {

namespace {

constexpr float DENSITY_SCALE = 4095.9375f;     // 65535 / 16
constexpr float LEVEL_SCALE = 0.00024414435f;  // nearest float to 1 / 4095.9375
constexpr std::uint16_t CLEAR_LEVEL = 8848;     // infrared at or above this is clear film
// Offsets (row, column) of the four 4 x 4 quadrants of an 8 x 8 block, in the order they count.
constexpr std::pair<std::size_t, std::size_t> QUADRANTS[4] = {{0, 0}, {0, 4}, {4, 0}, {4, 4}};

// Minimum and maximum that pass over a NaN instead of returning it (written without branches,
// so that row loops vectorise).
float min_of(float a, float b) {
    const float m = b < a ? b : a;
    return a != a ? b : m;
}
float max_of(float a, float b) {
    const float m = b > a ? b : a;
    return a != a ? b : m;
}

// Runs f(first, last) over [0, n) in pieces of CHUNK elements, split adaptively over the pieces.
template <class F>
void for_chunks(std::size_t n, F&& f) {
    const std::size_t chunks = (n + CHUNK - 1) / CHUNK;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, chunks), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t k = r.begin(); k != r.end(); ++k) f(k * CHUNK, std::min(n, (k + 1) * CHUNK));
    });
}

// Runs f(row) for every row, split adaptively over the rows.
template <class F>
void for_rows(std::size_t rows, F&& f) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t y = r.begin(); y != r.end(); ++y) f(y);
    });
}

std::uint16_t level_of(float d) {
    const float v = std::exp2(d * LEVEL_SCALE) - 1.0f;
    if (std::isnan(v) || v < 0.5f) return 0;
    if (v >= 65535.0f) return 65535;
    return static_cast<std::uint16_t>(std::lround(v));
}

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

float density(std::uint16_t v) { return std::log2(static_cast<float>(v) + 1.0f) * DENSITY_SCALE; }

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
    for_chunks(plane.size(), [&](std::size_t first, std::size_t last) {
        const float* __restrict d = lut.data();
        const std::uint16_t* __restrict in = plane.data();
        float* __restrict o = out.data();
        for (std::size_t i = first; i < last; ++i) o[i] = d[in[i]];
    });
    return out;
}

void from_density(std::span<const float> densities, std::span<std::uint16_t> levels) {
    const std::size_t n = std::min(densities.size(), levels.size());
    for_chunks(n, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) levels[i] = level_of(densities[i]);
    });
}

// ---- calibration

std::string debug_string(const Calibration& c) {
    return fmt::format("Calibration {{ c: {}, ir_ref: {} }}", c.c, c.ir_ref);
}

std::optional<Calibration> calibrate(std::span<const std::uint16_t> red, std::span<const std::uint16_t> infrared,
                                     std::size_t rows, std::size_t cols) {
    const Image<float> dred = to_density(red);
    const Image<float> dir = to_density(infrared);

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
                m.r += w * dred[i];
                m.i += w * dir[i];
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
                        r64 += dred[i];
                        i64 += dir[i];
                        l += static_cast<float>(infrared[i]);
                    }
                }
                for (const auto& [qy, qx] : QUADRANTS) {
                    float qr = 0.0f, qi = 0.0f;
                    for (std::size_t y = 0; y < 4; ++y) {
                        for (std::size_t x = 0; x < 4; ++x) {
                            const std::size_t i = origin + (qy + y) * cols + qx + x;
                            qr += dred[i];
                            qi += dir[i];
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

// ---- detection

Image<float> gate(std::span<const std::uint16_t> infrared, std::span<const std::uint16_t> red, float c,
                  const Params& params) {
    const Table& lut = LUT();
    const float k = 1.0f / (1.0f - c);
    const std::size_t n = std::min(infrared.size(), red.size());
    const float zero = params.gate_zero;
    Image<float> out(n);
    for_chunks(n, [&](std::size_t first, std::size_t last) {
        const float* __restrict d = lut.data();
        const std::uint16_t* __restrict ir = infrared.data();
        const std::uint16_t* __restrict r = red.data();
        float* __restrict o = out.data();
        for (std::size_t i = first; i < last; ++i) o[i] = ((d[ir[i]] - c * d[r[i]]) * k) - zero;
    });
    return out;
}

Image<float> confidence(std::span<const float> gate, std::size_t cols, const Params& params) {
    Image<float> out(gate.size());
    if (cols == 0) return out;
    const float clean_level = params.clean_level;
    const float inv_falloff = params.inv_falloff;
    const auto conf = [&](float v) {
        const float f = (clean_level - v) * inv_falloff + 1.0f;
        const float floored = f < 0.02f ? 0.02f : f;
        return floored > 1.0f ? 1.0f : floored;
    };
    for_rows((gate.size() + cols - 1) / cols, [&](std::size_t y) {
        const float* __restrict g = gate.data() + y * cols;
        float* __restrict o = out.data() + y * cols;
        const std::size_t len = std::min(cols, gate.size() - y * cols);
        if (!params.min3 || len == 1) {
            for (std::size_t x = 0; x < len; ++x) o[x] = conf(g[x]);
            return;
        }
        o[0] = conf(min_of(g[0], g[1]));
        for (std::size_t x = 1; x + 1 < len; ++x) o[x] = conf(min_of(min_of(g[x - 1], g[x]), g[x + 1]));
        o[len - 1] = conf(min_of(g[len - 2], g[len - 1]));
    });
    return out;
}

namespace {

// One row of and3_cols: out[x] = in[x - step] & in[x] & in[x + step], clamped into the row.
void and3_row(const std::uint8_t* __restrict in, std::uint8_t* __restrict o, std::size_t len, std::size_t step) {
    const auto at = [&](std::size_t x) {
        const std::size_t left = x >= step ? x - step : 0;
        const std::size_t right = std::min(x + step, len - 1);
        o[x] = in[left] & in[x] & in[right];
    };
    // The clamped ends apart, so the middle runs without index checks.
    const std::size_t head = std::min(step, len);
    const std::size_t tail = len > step ? len - step : 0;
    for (std::size_t x = 0; x < head; ++x) at(x);
    for (std::size_t x = head; x < tail; ++x) o[x] = in[x - step] & in[x] & in[x + step];
    for (std::size_t x = std::max(head, tail); x < len; ++x) at(x);
}

// One row of and3_rows, given its three input rows.
void and_rows(const std::uint8_t* __restrict up, const std::uint8_t* __restrict mid, const std::uint8_t* __restrict down,
              std::uint8_t* __restrict o, std::size_t len) {
    for (std::size_t x = 0; x < len; ++x) o[x] = up[x] & mid[x] & down[x];
}

}  // namespace

Mask and3_cols(std::span<const std::uint8_t> mask, std::size_t cols, std::size_t step) {
    Mask out(mask.size());
    if (cols == 0) return out;
    for_rows((mask.size() + cols - 1) / cols, [&](std::size_t y) {
        and3_row(mask.data() + y * cols, out.data() + y * cols, std::min(cols, mask.size() - y * cols), step);
    });
    return out;
}

Mask and3_rows(std::span<const std::uint8_t> mask, std::size_t rows, std::size_t cols, std::size_t step) {
    Mask out(mask.size());
    if (rows == 0 || cols == 0 || mask.size() / cols < rows) {
        std::fill(out.begin(), out.end(), 0);
        return out;
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(rows * cols), out.end(), 0);
    for_rows(rows, [&](std::size_t y) {
        const std::uint8_t* m = mask.data();
        and_rows(m + (y >= step ? y - step : 0) * cols, m + y * cols, m + std::min(y + step, rows - 1) * cols,
                 out.data() + y * cols, cols);
    });
    return out;
}

Mask decide(std::span<const float> gate, std::span<const float> confidence, std::size_t rows, std::size_t cols,
            const Params& params) {
    std::size_t n = 0;
    if (__builtin_mul_overflow(rows, cols, &n) || gate.size() < n || confidence.size() < n) return Mask(0);
    Mask defect(n);
    if (n == 0) return defect;

    Mask opaque(n);
    const float opaque_level = params.opaque;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
        const float* __restrict g = gate.data();
        std::uint8_t* __restrict o = opaque.data();
        for (std::size_t i = r.begin(); i != r.end(); ++i) o[i] = g[i] < opaque_level;
    });

    // H = and3_cols(and3_cols(opaque, 1), 3) and V = and3_rows(and3_rows(opaque, 1), 3), taken
    // row by row where the decision needs them (H four rows up and down, V in the pixel's row)
    // rather than as whole images: the same values for a fraction of the memory traffic.
    const auto row = [&](std::ptrdiff_t y) {
        return static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(y, 0, static_cast<std::ptrdiff_t>(rows) - 1));
    };
    const std::uint8_t* op = opaque.data();
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows), [&](const tbb::blocked_range<std::size_t>& r) {
        std::vector<std::uint8_t> scratch(7 * cols);
        std::uint8_t* tmp = scratch.data();
        std::uint8_t* h_above = tmp + cols;
        std::uint8_t* h_below = h_above + cols;
        std::uint8_t* t_up = h_below + cols;
        std::uint8_t* t_mid = t_up + cols;
        std::uint8_t* t_down = t_mid + cols;
        std::uint8_t* v_row = t_down + cols;
        const auto h_of = [&](std::size_t y, std::uint8_t* out) {
            and3_row(op + y * cols, tmp, cols, 1);
            and3_row(tmp, out, cols, 3);
        };
        const auto t_of = [&](std::size_t y, std::uint8_t* out) {
            const auto sy = static_cast<std::ptrdiff_t>(y);
            and_rows(op + row(sy - 1) * cols, op + y * cols, op + row(sy + 1) * cols, out, cols);
        };
        for (std::size_t y = r.begin(); y != r.end(); ++y) {
            const auto sy = static_cast<std::ptrdiff_t>(y);
            h_of(row(sy - 4), h_above);
            h_of(row(sy + 4), h_below);
            t_of(row(sy - 3), t_up);
            t_of(y, t_mid);
            t_of(row(sy + 3), t_down);
            and_rows(t_up, t_mid, t_down, v_row, cols);

            // An opaque run four pixels away vouches for the pixel: the confidence there is
            // low because the infrared says nothing, not because of dust.
            const float* __restrict conf = confidence.data() + y * cols;
            std::uint8_t* __restrict out = defect.data() + y * cols;
            const auto at = [&](std::size_t x, std::size_t left, std::size_t right) {
                const std::uint8_t opaque_near = h_above[x] | h_below[x] | v_row[left] | v_row[right];
                out[x] = !(conf[x] >= 1.0f) & !opaque_near;
            };
            const std::size_t head = std::min<std::size_t>(4, cols);
            const std::size_t tail = cols > 4 ? cols - 4 : 0;
            for (std::size_t x = 0; x < head; ++x) at(x, 0, std::min(x + 4, cols - 1));
            for (std::size_t x = head; x < tail; ++x) at(x, x - 4, x + 4);
            for (std::size_t x = std::max(head, tail); x < cols; ++x) at(x, x >= 4 ? x - 4 : 0, cols - 1);
        }
    });
    return defect;
}

namespace {

// One part of the defect list. parallel_reduce joins a part only with the part to its right,
// so appending keeps the list ascending.
struct Collect {
    std::span<const std::uint8_t> defect;
    std::vector<std::uint32_t> found;

    explicit Collect(std::span<const std::uint8_t> d) : defect(d) {}
    Collect(Collect& other, tbb::split) : defect(other.defect) {}
    void operator()(const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
            if (defect[i]) found.push_back(static_cast<std::uint32_t>(i));
        }
    }
    void join(Collect& right) {
        if (found.empty()) {
            found = std::move(right.found);
        } else {
            found.insert(found.end(), right.found.begin(), right.found.end());
        }
    }
};

}  // namespace

std::vector<std::uint32_t> defect_list(std::span<const std::uint8_t> defect) {
    // Pixel indices are 32-bit: a larger mask is cut at 2^32 - 1.
    const std::size_t n = std::min<std::size_t>(defect.size(), std::numeric_limits<std::uint32_t>::max());
    Collect collect(defect);
    tbb::parallel_reduce(tbb::blocked_range<std::size_t>(0, n), collect);
    return std::move(collect.found);
}

// ---- reconstruction

template <bool Colour>
void Sums::span(const View& view, std::size_t first, std::size_t last, float scale) {
    // Locals, so the running sums stay in registers rather than being stored and reloaded
    // around every read of the images (which the compiler must assume they could alias).
    const float* lut = LUT().data();
    Sums s = *this;
    for (std::size_t i = first; i <= last; ++i) {
        const float w = view.confidence[i] * scale;
        s.weight += w;
        s.gate += w * view.gate[i];
        if constexpr (Colour) {
            s.red += w * lut[view.red[i]];
            s.green += w * lut[view.green[i]];
            s.blue += w * lut[view.blue[i]];
        }
    }
    *this = s;
}

template void Sums::span<true>(const View&, std::size_t, std::size_t, float);
template void Sums::span<false>(const View&, std::size_t, std::size_t, float);

namespace {

constexpr int BIG_HALF[9] = {2, 3, 4, 4, 4, 4, 4, 3, 2};
constexpr int SMALL_HALF[5] = {1, 2, 2, 2, 1};
constexpr float BIG_SCALE = 1.0f / 69.0f;
constexpr float SMALL_SCALE = 1.0f / 21.0f;
constexpr float BINOMIAL[3] = {1.0f, 2.0f, 1.0f};

template <bool Colour, std::size_t N>
void disc(Sums& s, const View& view, std::ptrdiff_t y, std::ptrdiff_t x, const int (&half)[N], float scale) {
    const std::ptrdiff_t radius = N / 2;
    const auto rows = static_cast<std::ptrdiff_t>(view.rows);
    const auto cols = static_cast<std::ptrdiff_t>(view.cols);
    for (std::ptrdiff_t dy = -radius; dy <= radius; ++dy) {
        const std::ptrdiff_t yy = y + dy;
        if (yy < 0 || yy >= rows) continue;
        const std::ptrdiff_t hw = half[dy + radius];
        const std::ptrdiff_t first = std::max<std::ptrdiff_t>(x - hw, 0);
        const std::ptrdiff_t last = std::min<std::ptrdiff_t>(x + hw, cols - 1);
        const auto row = static_cast<std::size_t>(yy) * view.cols;
        s.template span<Colour>(view, row + static_cast<std::size_t>(first), row + static_cast<std::size_t>(last), scale);
    }
}

template <bool Colour>
void box(Sums& s, const View& view, std::ptrdiff_t y, std::ptrdiff_t x) {
    const auto rows = static_cast<std::ptrdiff_t>(view.rows);
    const auto cols = static_cast<std::ptrdiff_t>(view.cols);
    for (std::ptrdiff_t dy = -1; dy <= 1; ++dy) {
        const std::ptrdiff_t yy = y + dy;
        if (yy < 0 || yy >= rows) continue;
        for (std::ptrdiff_t dx = -1; dx <= 1; ++dx) {
            const std::ptrdiff_t xx = x + dx;
            if (xx < 0 || xx >= cols) continue;
            const float scale = BINOMIAL[dy + 1] * BINOMIAL[dx + 1] * 0.0625f;
            const std::size_t i = static_cast<std::size_t>(yy) * view.cols + static_cast<std::size_t>(xx);
            s.template span<Colour>(view, i, i, scale);
        }
    }
}

float mean(float sum, float weight) { return weight > 0.0f ? sum * (1.0f / weight) : 0.0f; }

// The infrared detail at the coarse, middle and fine scales, from the three neighbourhood sums
// of a pixel and its own gate value.
std::array<float, 3> infrared_detail(const Sums& big, const Sums& small, const Sums& box3, float own_gate) {
    const float mg_b = mean(big.gate, big.weight);
    const float mg_s = mean(small.gate, small.weight);
    const float mg_t = mean(box3.gate, box3.weight);
    return {mg_s - mg_b, mg_t - mg_s, own_gate - mg_t};
}

template <bool Colour>
Hoods hoods(const View& view, std::size_t y, std::size_t x) {
    return {hood<Colour>(view, y, x, Hood::Big), hood<Colour>(view, y, x, Hood::Small),
            hood<Colour>(view, y, x, Hood::Box)};
}

// What Sums::span adds for one pixel, in the same order.
inline void add(Sums& s, const View& view, const float* lut, std::size_t i, float scale) {
    const float w = view.confidence[i] * scale;
    s.weight += w;
    s.gate += w * view.gate[i];
    s.red += w * lut[view.red[i]];
    s.green += w * lut[view.green[i]];
    s.blue += w * lut[view.blue[i]];
}
inline void add_plain(Sums& s, const View& view, std::size_t i, float scale) {
    const float w = view.confidence[i] * scale;
    s.weight += w;
    s.gate += w * view.gate[i];
}

}  // namespace

// The five sets of sums are taken side by side: each sum still adds its pixels in its own
// order, so the values are those of `hood`, but five independent chains of additions overlap.
void hoods_around(const View& view, std::size_t y, std::size_t x, Hoods& own, std::array<Hoods, 4>& next) {
    const float* lut = LUT().data();
    const std::size_t cols = view.cols;
    // The running sums live in locals (registers) and are written back once.
    Hoods o = own;
    std::array<Hoods, 4> n = next;
    const auto discs = [&](auto member, const auto& half, float scale) {
        constexpr std::size_t rows_of_disc = std::extent_v<std::remove_reference_t<decltype(half)>>;
        constexpr std::size_t radius = rows_of_disc / 2;
        Sums c = o.*member, left = n[0].*member, right = n[1].*member, up = n[2].*member, down = n[3].*member;
        for (std::size_t r = 0; r < rows_of_disc; ++r) {
            const auto hw = static_cast<std::size_t>(half[r]);
            const std::size_t first = (y + r - radius) * cols + x - hw;
            for (std::size_t i = first; i <= first + 2 * hw; ++i) {
                add(c, view, lut, i, scale);
                add_plain(left, view, i - 1, scale);
                add_plain(right, view, i + 1, scale);
                add_plain(up, view, i - cols, scale);
                add_plain(down, view, i + cols, scale);
            }
        }
        o.*member = c;
        n[0].*member = left;
        n[1].*member = right;
        n[2].*member = up;
        n[3].*member = down;
    };
    discs(&Hoods::big, BIG_HALF, BIG_SCALE);
    discs(&Hoods::small, SMALL_HALF, SMALL_SCALE);
    Sums c = o.box3, left = n[0].box3, right = n[1].box3, up = n[2].box3, down = n[3].box3;
    for (std::size_t dy = 0; dy < 3; ++dy) {
        for (std::size_t dx = 0; dx < 3; ++dx) {
            const float scale = BINOMIAL[dy] * BINOMIAL[dx] * 0.0625f;
            const std::size_t i = (y + dy - 1) * cols + x + dx - 1;
            add(c, view, lut, i, scale);
            add_plain(left, view, i - 1, scale);
            add_plain(right, view, i + 1, scale);
            add_plain(up, view, i - cols, scale);
            add_plain(down, view, i + cols, scale);
        }
    }
    o.box3 = c;
    n[0].box3 = left;
    n[1].box3 = right;
    n[2].box3 = up;
    n[3].box3 = down;
    own = o;
    next = n;
}

namespace {

constexpr float GRAIN_AMPLITUDE[3] = {0.015f, 0.015f, 0.025f};

}  // namespace

template <bool Colour>
Sums hood(const View& view, std::size_t y, std::size_t x, Hood which) {
    Sums s;
    const auto sy = static_cast<std::ptrdiff_t>(y);
    const auto sx = static_cast<std::ptrdiff_t>(x);
    switch (which) {
        case Hood::Big: disc<Colour>(s, view, sy, sx, BIG_HALF, BIG_SCALE); break;
        case Hood::Small: disc<Colour>(s, view, sy, sx, SMALL_HALF, SMALL_SCALE); break;
        case Hood::Box: box<Colour>(s, view, sy, sx); break;
    }
    return s;
}

template Sums hood<true>(const View&, std::size_t, std::size_t, Hood);
template Sums hood<false>(const View&, std::size_t, std::size_t, Hood);

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

float grain(float value, std::uint32_t p, unsigned channel, const Params& params) {
    const float lo = params.grain_lo;
    const float hi = params.grain_hi;
    if (!(lo < value && value < hi)) return value;
    const std::uint64_t z = mix(4 * static_cast<std::uint64_t>(p) + channel);
    const float u = static_cast<float>(z & 0xFFFFFF) * 0x1p-24f - 0.5f;
    const float n = ((u * ((hi - value) * ((value - lo) * (4.0f / ((hi - lo) * (hi - lo)))))) *
                     GRAIN_AMPLITUDE[channel % 3]) *
                    value;
    const float grained = value + n;
    return lo < grained && grained < hi ? grained : value;
}

std::optional<std::array<float, 3>> rebuild(const View& view, const Params& params, std::uint32_t p) {
    const std::size_t y = p / view.cols;
    const std::size_t x = p % view.cols;
    Hoods own;
    std::array<float, 3> lo{};
    std::array<float, 3> hi{};
    // The band also takes in the detail of the four neighbours (left, right, up, down), so an
    // edge in the infrared next to the pixel still lets the colour follow it.
    const auto widen = [&](const Hoods& h, std::size_t ny, std::size_t nx) {
        const std::array<float, 3> dn = infrared_detail(h.big, h.small, h.box3, view.gate[ny * view.cols + nx]);
        for (std::size_t s = 0; s < 3; ++s) {
            lo[s] = min_of(lo[s], dn[s]);
            hi[s] = max_of(hi[s], dn[s]);
        }
    };
    if (params.envelope && y >= 5 && y + 5 < view.rows && x >= 5 && x + 5 < view.cols) {
        std::array<Hoods, 4> next;
        hoods_around(view, y, x, own, next);
        lo = hi = infrared_detail(own.big, own.small, own.box3, view.gate[p]);
        widen(next[0], y, x - 1);
        widen(next[1], y, x + 1);
        widen(next[2], y - 1, x);
        widen(next[3], y + 1, x);
    } else {
        own = hoods<true>(view, y, x);
        lo = hi = infrared_detail(own.big, own.small, own.box3, view.gate[p]);
        if (params.envelope) {
            if (x > 0) widen(hoods<false>(view, y, x - 1), y, x - 1);
            if (x + 1 < view.cols) widen(hoods<false>(view, y, x + 1), y, x + 1);
            if (y > 0) widen(hoods<false>(view, y - 1, x), y - 1, x);
            if (y + 1 < view.rows) widen(hoods<false>(view, y + 1, x), y + 1, x);
        }
    }
    const Sums& big = own.big;
    const Sums& small = own.small;
    const Sums& box3 = own.box3;

    const float mg_b = mean(big.gate, big.weight);
    const float coarse_weight = min_of(2.0f * small.weight, 1.0f);
    const float fine_weight = view.confidence[p] * view.confidence[p];
    const Table& lut = LUT();
    const std::array<float, 3> b_sums{big.red, big.green, big.blue};
    const std::array<float, 3> s_sums{small.red, small.green, small.blue};
    const std::array<float, 3> t_sums{box3.red, box3.green, box3.blue};
    const std::array<std::span<const std::uint16_t>, 3> planes{view.red, view.green, view.blue};

    std::array<float, 3> out{};
    std::array<float, 3> own_density{};
    for (unsigned ch = 0; ch < 3; ++ch) {
        const float m_b = mean(b_sums[ch], big.weight);
        const float m_s = mean(s_sums[ch], small.weight);
        const float m_t = mean(t_sums[ch], box3.weight);
        own_density[ch] = lut[planes[ch][p]];
        const std::array<float, 3> e{(m_s - m_b) * 1.25f, (m_t - m_s) * 1.25f, (own_density[ch] - m_t) * 1.25f};
        // Colour detail inside the band the infrared detail allows is taken for dust and
        // dropped; only what reaches beyond it is image.
        std::array<float, 3> t{};
        for (std::size_t s = 0; s < 3; ++s) {
            const float a = params.slopes[ch * 6 + s * 2];
            const float b = params.slopes[ch * 6 + s * 2 + 1];
            const float lower = hi[s] >= 0.0f ? b * lo[s] : a * lo[s];
            const float upper = hi[s] >= 0.0f ? a * hi[s] : b * hi[s];
            t[s] = e[s] < lower ? e[s] - lower : (e[s] > upper ? e[s] - upper : 0.0f);
        }
        const float base = m_b + params.gain[ch] * (params.ir_ref - mg_b);
        const float value = ((base + t[0] * coarse_weight) + t[1] * box3.weight) + t[2] * fine_weight;
        out[ch] = grain(value, p, ch, params);
    }
    if (out[0] <= 0.0f || out[1] <= 0.0f || out[2] <= 0.0f) return std::nullopt;
    for (std::size_t ch = 0; ch < 3; ++ch) out[ch] = max_of(out[ch], own_density[ch]);
    return out;
}

Patch reconstruct_core(std::span<const std::uint8_t> defect, const View& view, const Params& params) {
    Patch patch;
    patch.idx = defect_list(defect);
    const std::size_t n = patch.idx.size();
    patch.r.resize(n);
    patch.g.resize(n);
    patch.b.resize(n);
    Mask ok(n, 1);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t k = r.begin(); k != r.end(); ++k) {
            const auto rebuilt = rebuild(view, params, patch.idx[k]);
            if (!rebuilt) {
                ok[k] = 0;
                continue;
            }
            patch.r[k] = (*rebuilt)[0];
            patch.g[k] = (*rebuilt)[1];
            patch.b[k] = (*rebuilt)[2];
        }
    });

    if (std::find(ok.begin(), ok.end(), 0) != ok.end()) {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < n; ++k) {
            if (!ok[k]) continue;
            patch.idx[kept] = patch.idx[k];
            patch.r[kept] = patch.r[k];
            patch.g[kept] = patch.g[k];
            patch.b[kept] = patch.b[k];
            ++kept;
        }
        patch.idx.resize(kept);
        patch.r.resize(kept);
        patch.g.resize(kept);
        patch.b.resize(kept);
    }
    return patch;
}

std::size_t clean(const std::array<std::span<std::uint16_t>, 3>& planes, std::span<const std::uint16_t> infrared,
                  const Calibration& calibration, std::size_t rows, std::size_t cols, const Settings& settings) {
    std::size_t n = 0;
    if (rows == 0 || cols == 0 || __builtin_mul_overflow(rows, cols, &n)) return 0;
    if (n > std::numeric_limits<std::uint32_t>::max()) return 0;
    if (infrared.size() != n) return 0;
    for (const auto& plane : planes) {
        if (plane.size() != n) return 0;
    }

    const Params params = Params::make(settings, calibration);
    LUT();

    // The planes are written only after every pixel is rebuilt, so each rebuilt pixel reads the
    // frame as it was; the intermediate images go before the write-back.
    Patch patch;
    {
        const Image<float> g = gate(infrared, planes[0], params.c, params);
        const Image<float> conf = confidence(g, cols, params);
        const Mask defect = decide(g, conf, rows, cols, params);
        const View view{g, conf, planes[0], planes[1], planes[2], rows, cols};
        patch = reconstruct_core(defect, view, params);
    }

    std::vector<std::uint16_t> levels(patch.idx.size());
    const std::array<const std::vector<float>*, 3> rebuilt{&patch.r, &patch.g, &patch.b};
    for (std::size_t ch = 0; ch < 3; ++ch) {
        from_density(*rebuilt[ch], levels);
        std::span<std::uint16_t> plane = planes[ch];
        for (std::size_t k = 0; k < patch.idx.size(); ++k) {
            const std::uint32_t p = patch.idx[k];
            plane[p] = std::max(levels[k], plane[p]);
        }
    }
    return patch.idx.size();
}

}  // namespace vexlor::dust
