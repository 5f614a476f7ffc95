// Finding the defect pixels: the gate, the confidence, the opaque runs and the decision.
// Built with -ffp-contract=off: every float step below is meant bit for bit, in the order written.
#include <algorithm>
#include <limits>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include "dust/detail.hpp"
#include "dust/dust.hpp"

namespace vexlor::dust {

namespace {

using detail::for_chunks;
using detail::for_rows;
using detail::min_of;

constexpr std::uint8_t OPAQUE_MARK = 1;
constexpr std::uint8_t CANDIDATE_MARK = 2;

// The gate of n pixels.
void gate_of(const std::uint16_t* __restrict ir, const std::uint16_t* __restrict r, float* __restrict o, std::size_t n,
             const Params& params) {
    const float* __restrict d = LUT().data();
    const float c = params.c;
    const float k = 1.0f / (1.0f - c);
    const float zero = params.gate_zero;
    for (std::size_t i = 0; i < n; ++i) o[i] = ((d[ir[i]] - c * d[r[i]]) * k) - zero;
}

// The confidence of one row of the gate, len pixels.
void confidence_of(const float* __restrict g, float* __restrict o, std::size_t len, const Params& params) {
    const float clean_level = params.clean_level;
    const float inv_falloff = params.inv_falloff;
    const auto conf = [&](float v) {
        const float f = (clean_level - v) * inv_falloff + 1.0f;
        const float floored = f < 0.02f ? 0.02f : f;
        return floored > 1.0f ? 1.0f : floored;
    };
    if (!params.min3 || len == 1) {
        for (std::size_t x = 0; x < len; ++x) o[x] = conf(g[x]);
        return;
    }
    o[0] = conf(min_of(g[0], g[1]));
    for (std::size_t x = 1; x + 1 < len; ++x) o[x] = conf(min_of(min_of(g[x - 1], g[x]), g[x + 1]));
    o[len - 1] = conf(min_of(g[len - 2], g[len - 1]));
}

// The marks of n pixels: opaque, and a candidate (confidence not 1 or more).
void marks_of(const float* __restrict g, const float* __restrict conf, std::uint8_t* __restrict o, std::size_t n,
              float opaque_level) {
    for (std::size_t i = 0; i < n; ++i) {
        o[i] = static_cast<std::uint8_t>((g[i] < opaque_level) | (!(conf[i] >= 1.0f) << 1));
    }
}

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

// The defect flags of row y (0 or 1 per pixel) from the marks of the frame, with scratch for
// seven rows. H = and3_cols(and3_cols(opaque, 1), 3) and V = and3_rows(and3_rows(opaque, 1), 3)
// are taken row by row where the decision needs them (H four rows up and down, V in the pixel's
// row) rather than as whole images: the same values for a fraction of the memory traffic.
// Marks are combined bitwise, so the opaque bit of a result is the runs' value.
void decide_row(const std::uint8_t* marks, std::size_t rows, std::size_t cols, std::size_t y, std::uint8_t* scratch,
                std::uint8_t* __restrict out) {
    const auto row = [&](std::ptrdiff_t r) {
        return static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(r, 0, static_cast<std::ptrdiff_t>(rows) - 1));
    };
    std::uint8_t* tmp = scratch;
    std::uint8_t* h_above = tmp + cols;
    std::uint8_t* h_below = h_above + cols;
    std::uint8_t* t_up = h_below + cols;
    std::uint8_t* t_mid = t_up + cols;
    std::uint8_t* t_down = t_mid + cols;
    std::uint8_t* v_row = t_down + cols;
    const auto h_of = [&](std::size_t r, std::uint8_t* o) {
        and3_row(marks + r * cols, tmp, cols, 1);
        and3_row(tmp, o, cols, 3);
    };
    const auto t_of = [&](std::size_t r, std::uint8_t* o) {
        const auto sr = static_cast<std::ptrdiff_t>(r);
        and_rows(marks + row(sr - 1) * cols, marks + r * cols, marks + row(sr + 1) * cols, o, cols);
    };
    const auto sy = static_cast<std::ptrdiff_t>(y);
    h_of(row(sy - 4), h_above);
    h_of(row(sy + 4), h_below);
    t_of(row(sy - 3), t_up);
    t_of(y, t_mid);
    t_of(row(sy + 3), t_down);
    and_rows(t_up, t_mid, t_down, v_row, cols);

    // An opaque run four pixels away vouches for the pixel: the confidence there is low
    // because the infrared says nothing, not because of dust.
    const std::uint8_t* __restrict own = marks + y * cols;
    const auto at = [&](std::size_t x, std::size_t left, std::size_t right) {
        const std::uint8_t opaque_near = (h_above[x] | h_below[x] | v_row[left] | v_row[right]) & OPAQUE_MARK;
        out[x] = static_cast<std::uint8_t>((own[x] >> 1) & !opaque_near);
    };
    const std::size_t head = std::min<std::size_t>(4, cols);
    const std::size_t tail = cols > 4 ? cols - 4 : 0;
    for (std::size_t x = 0; x < head; ++x) at(x, 0, std::min(x + 4, cols - 1));
    for (std::size_t x = head; x < tail; ++x) at(x, x - 4, x + 4);
    for (std::size_t x = std::max(head, tail); x < cols; ++x) at(x, x >= 4 ? x - 4 : 0, cols - 1);
}

// True when some pixel of the row is a candidate: a row without one has no defect.
bool any_candidate(const std::uint8_t* marks, std::size_t len) {
    std::uint8_t any = 0;
    for (std::size_t x = 0; x < len; ++x) any |= marks[x];
    return any & CANDIDATE_MARK;
}

}  // namespace

Image<float> gate(std::span<const std::uint16_t> infrared, std::span<const std::uint16_t> red, float c,
                  const Params& params) {
    Params p = params;
    p.c = c;
    const std::size_t n = std::min(infrared.size(), red.size());
    Image<float> out(n);
    for_chunks(n, [&](std::size_t first, std::size_t last) {
        gate_of(infrared.data() + first, red.data() + first, out.data() + first, last - first, p);
    });
    return out;
}

Image<float> confidence(std::span<const float> gate, std::size_t cols, const Params& params) {
    Image<float> out(gate.size());
    if (cols == 0) return out;
    for_rows((gate.size() + cols - 1) / cols, [&](std::size_t y) {
        confidence_of(gate.data() + y * cols, out.data() + y * cols, std::min(cols, gate.size() - y * cols), params);
    });
    return out;
}

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
    Mask marks(n);
    for_chunks(n, [&](std::size_t first, std::size_t last) {
        marks_of(gate.data() + first, confidence.data() + first, marks.data() + first, last - first, params.opaque);
    });
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows), [&](const tbb::blocked_range<std::size_t>& r) {
        std::vector<std::uint8_t> scratch(7 * cols);
        for (std::size_t y = r.begin(); y != r.end(); ++y) {
            decide_row(marks.data(), rows, cols, y, scratch.data(), defect.data() + y * cols);
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

// ---- the stages on a workspace

// Gate, confidence and marks row by row: each row's gate is still in the cache when its
// confidence and marks are taken, and no stage reads a whole image back for them.
void screen(Workspace& workspace, std::span<const std::uint16_t> infrared, std::span<const std::uint16_t> red,
            std::size_t rows, std::size_t cols, const Params& params) {
    Workspace::Impl& w = workspace.impl();
    w.begin(rows * cols);
    float* gate = w.gate_image.data();
    float* conf = w.confidence_image.data();
    std::uint8_t* marks = w.marks_image.data();
    LUT();
    for_rows(rows, [&](std::size_t y) {
        const std::size_t at = y * cols;
        gate_of(infrared.data() + at, red.data() + at, gate + at, cols, params);
        confidence_of(gate + at, conf + at, cols, params);
        marks_of(gate + at, conf + at, marks + at, cols, params.opaque);
    });
}

// Each band of rows decides its rows and keeps its own ascending list; the lists are joined in
// band order.
std::span<const std::uint32_t> list_defects(Workspace& workspace, std::size_t rows, std::size_t cols) {
    Workspace::Impl& w = workspace.impl();
    const std::uint8_t* marks = w.marks_image.data();
    const std::size_t bands = (rows + detail::BAND_ROWS - 1) / detail::BAND_ROWS;
    if (w.bands.size() < bands) w.bands.resize(bands);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, bands), [&](const tbb::blocked_range<std::size_t>& r) {
        std::vector<std::uint8_t>& scratch = w.rows.local();
        if (scratch.size() < 8 * cols) scratch.resize(8 * cols);
        std::uint8_t* flags = scratch.data() + 7 * cols;
        for (std::size_t band = r.begin(); band != r.end(); ++band) {
            std::vector<std::uint32_t>& found = w.bands[band];
            found.clear();
            const std::size_t last = std::min(rows, (band + 1) * detail::BAND_ROWS);
            for (std::size_t y = band * detail::BAND_ROWS; y < last; ++y) {
                if (!any_candidate(marks + y * cols, cols)) continue;
                decide_row(marks, rows, cols, y, scratch.data(), flags);
                const auto at = static_cast<std::uint32_t>(y * cols);
                for (std::size_t x = 0; x < cols; ++x) {
                    if (flags[x]) found.push_back(at + static_cast<std::uint32_t>(x));
                }
            }
        }
    });
    std::size_t listed = 0;
    for (std::size_t band = 0; band < bands; ++band) listed += w.bands[band].size();
    const std::span<std::uint32_t> idx = detail::take(w.idx, listed);
    std::size_t k = 0;
    for (std::size_t band = 0; band < bands; ++band) {
        std::copy(w.bands[band].begin(), w.bands[band].end(), idx.begin() + static_cast<std::ptrdiff_t>(k));
        k += w.bands[band].size();
    }
    w.listed = listed;
    return idx;
}

}  // namespace vexlor::dust
