// Rebuilding the defect pixels from their surroundings.
// Built with -ffp-contract=off: every float step below is meant bit for bit, in the order written.
#include <algorithm>
#include <type_traits>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "dust/detail.hpp"
#include "dust/dust.hpp"

namespace vexlor::dust {

using detail::max_of;
using detail::min_of;

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
        // The gate sits `gate_zero` below the infrared density, so clear film's gate is
        // ir_ref - gate_zero: measured from there, an undamaged neighbourhood adds nothing.
        const float base = m_b + params.gain[ch] * ((params.ir_ref - params.gate_zero) - mg_b);
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

void rebuild_listed(Workspace& workspace, const std::array<std::span<const std::uint16_t>, 3>& planes, std::size_t rows,
                    std::size_t cols, const Params& params) {
    Workspace::Impl& w = workspace.impl();
    const std::size_t n = w.listed;
    const std::uint32_t* idx = w.idx.data();
    const std::span<float> r = detail::take(w.r, n);
    const std::span<float> g = detail::take(w.g, n);
    const std::span<float> b = detail::take(w.b, n);
    const std::span<std::uint8_t> ok = detail::take(w.ok, n);
    const View view{w.gate_image, w.confidence_image, planes[0], planes[1], planes[2], rows, cols};
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t k = range.begin(); k != range.end(); ++k) {
            const auto rebuilt = rebuild(view, params, idx[k]);
            ok[k] = rebuilt.has_value();
            if (!rebuilt) continue;
            r[k] = (*rebuilt)[0];
            g[k] = (*rebuilt)[1];
            b[k] = (*rebuilt)[2];
        }
    });
}

}  // namespace vexlor::dust
