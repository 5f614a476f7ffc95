#include "scan/strip.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include <fmt/format.h>

#include "diag/log.hpp"

namespace vexlor::scan::strip {

namespace {

constexpr std::string_view TARGET = "vexlor::scan::strip";
constexpr std::size_t EDGE_ROWS = 8;

float quantile(std::span<const float> values, float p) {
    std::vector<float> v(values.begin(), values.end());
    const float at = p * static_cast<float>(v.size());
    const std::size_t i = std::min(static_cast<std::size_t>(at), v.size() - 1);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(i), v.end());
    return v[i];
}

// The element at `index` of `v` in ascending order; `v` is reordered.
float select(std::vector<float>& v, std::size_t index) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(index), v.end());
    return v[index];
}

std::string ranges_text(const std::vector<Range>& frames) {
    std::string s = "[";
    for (const auto& r : frames) {
        if (s.size() > 1) s += ", ";
        s += debug_string(r);
    }
    return s + "]";
}

}  // namespace

std::string debug_string(const Range& r) { return fmt::format("{}..{}", r.first, r.second); }

std::pair<std::vector<float>, std::vector<float>> signals(const protocol::decode::Image& image) {
    const std::size_t n = image.ready;
    std::vector<float> detail(n, 0.0f), level(n, 0.0f);
    const std::size_t rows = image.width;
    if (n == 0 || rows < 2 * EDGE_ROWS + 2 || image.planes.empty()) return {detail, level};
    // A view whose planes are shorter than it claims holds no signal, rather than memory past its end.
    const std::size_t stride = image.lines;
    if (stride < n) return {detail, level};
    for (const auto& plane : image.planes) {
        if (plane.size() / rows < stride) return {detail, level};
    }

    const float full = image.bits >= 1 && image.bits <= 15 ? static_cast<float>((1u << image.bits) - 1) : 65535.0f;
    const float m = static_cast<float>(rows - 2 * EDGE_ROWS);
    std::vector<float> sum(n), dev(n);
    for (const auto& plane : image.planes) {
        // Rows outside, columns inside: each column still adds its rows in order.
        std::fill(sum.begin(), sum.end(), 0.0f);
        std::fill(dev.begin(), dev.end(), 0.0f);
        for (std::size_t r = EDGE_ROWS; r < rows - EDGE_ROWS; ++r) {
            const std::uint16_t* row = plane.data() + r * stride;
            for (std::size_t c = 0; c < n; ++c) sum[c] += static_cast<float>(row[c]) / full;
        }
        for (std::size_t c = 0; c < n; ++c) sum[c] /= m;
        for (std::size_t r = EDGE_ROWS; r < rows - EDGE_ROWS; ++r) {
            const std::uint16_t* row = plane.data() + r * stride;
            for (std::size_t c = 0; c < n; ++c) {
                const float d = static_cast<float>(row[c]) / full - sum[c];
                dev[c] += d * d;
            }
        }
        for (std::size_t c = 0; c < n; ++c) {
            detail[c] += std::sqrt(dev[c] / m);
            level[c] += sum[c];
        }
    }
    const float planes = static_cast<float>(image.planes.size());
    for (std::size_t c = 0; c < n; ++c) {
        detail[c] /= planes;
        level[c] /= planes;
    }
    if (const float q = quantile(detail, 0.9f); q > 0.0f) {
        for (auto& d : detail) d = std::min(d / q, 1.0f);
    }
    const float lo = quantile(level, 0.02f);
    const float hi = quantile(level, 0.98f);
    if (hi > lo) {
        for (auto& l : level) l = std::clamp((l - lo) / (hi - lo), 0.0f, 1.0f);
    }
    return {detail, level};
}

namespace {

// IEEE 754 totalOrder: -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
bool total_less(float a, float b) {
    const auto key = [](float f) {
        const auto bits = std::bit_cast<std::int32_t>(f);
        return bits < 0 ? bits ^ INT32_MAX : bits;
    };
    return key(a) < key(b);
}

}  // namespace

Detail Detail::make(std::vector<float> detail, std::vector<float> level) {
    Detail d;
    const std::size_t n = detail.size();
    d.cumulative.assign(n + 1, 0.0f);
    for (std::size_t i = 0; i < n; ++i) d.cumulative[i + 1] = d.cumulative[i] + detail[i];
    d.minima.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t best = i >= 2 ? i - 2 : 0;
        for (std::size_t j = best + 1; j <= std::min(i + 2, n - 1); ++j) {
            if (total_less(detail[j], detail[best])) best = j;
        }
        d.minima[i] = best;
    }
    d.detail = std::move(detail);
    d.level = std::move(level);
    return d;
}

Range Detail::film(std::size_t length) const {
    const std::size_t n = detail.size();
    Range span{0, 0};
    if (n > 0) {
        const float lo = quantile(detail, 0.1f);
        const float hi = quantile(detail, 0.9f);
        const float threshold = lo + 0.15f * (hi - lo);
        const auto merge = static_cast<std::size_t>(std::floor(0.7f * static_cast<float>(length)));
        const std::size_t shortest = std::max<std::size_t>(static_cast<std::size_t>(std::floor(0.5f * static_cast<float>(length))), 1);
        std::vector<Range> runs;
        for (std::size_t i = 0; i < n;) {
            if (!(detail[i] > threshold)) {
                ++i;
                continue;
            }
            std::size_t end = i;
            while (end < n && detail[end] > threshold) ++end;
            if (!runs.empty() && i - runs.back().second <= merge) {
                runs.back().second = end;
            } else {
                runs.push_back({i, end});
            }
            i = end;
        }
        bool any = false;
        for (const auto& r : runs) {
            if (r.second - r.first < shortest) continue;
            if (!any) span.first = r.first;
            span.second = r.second;
            any = true;
        }
    }
    VX_DEBUG(TARGET, "the picture in the pass", diag::Field{"film", fmt::format("({}, {})", span.first, span.second)},
             diag::field("cols", n), diag::field("length", length));
    return span;
}

float disagreement(std::span<const float> levels) {
    std::vector<float> v(levels.begin(), levels.end());
    const std::size_t mid = v.size() / 2;
    const float m = select(v, mid);
    for (auto& x : v) x = std::fabs(x - m);
    return select(v, mid);
}

std::optional<Fit> find(const protocol::decode::Image& image, std::size_t length) {
    const std::size_t n = image.ready;
    if (length == 0 || n == 0) return std::nullopt;
    auto [detail, level] = signals(image);
    const Detail d = Detail::make(std::move(detail), std::move(level));
    const auto [start, end] = d.film(length);
    const std::int64_t span = static_cast<std::int64_t>(end) - static_cast<std::int64_t>(start);
    const std::size_t lowest = std::max<std::size_t>(18 * length / 20, 14);
    const std::size_t highest = std::max<std::size_t>(31 * length / 20, 14);

    std::optional<Fit> best;
    std::size_t best_offset = 0;
    std::vector<float> gap_levels;
    for (std::size_t pitch = lowest; pitch <= highest; ++pitch) {
        const auto L = static_cast<std::int64_t>(pitch);
        const std::int64_t frames = (span + L / 2) / L;
        if (frames <= 0) continue;
        const std::int64_t first = std::max<std::int64_t>(static_cast<std::int64_t>(start) - L, 0);
        const std::int64_t last =
            std::min<std::int64_t>(static_cast<std::int64_t>(n) - 1, static_cast<std::int64_t>(end) + L) - frames * L;
        if (last < 0 || last < first) continue;
        for (std::int64_t offset = first; offset <= last; ++offset) {
            float gaps = 0.0f;
            gap_levels.clear();
            for (std::int64_t j = 0; j <= frames; ++j) {
                const auto at = static_cast<std::size_t>(std::min<std::int64_t>(offset + j * L, static_cast<std::int64_t>(n) - 1));
                const std::size_t col = d.minima[at];
                gaps += d.detail[col];
                gap_levels.push_back(d.level[col]);
            }
            gaps /= static_cast<float>(frames + 1);
            float inside = 0.0f;
            for (std::int64_t k = 0; k < frames; ++k) {
                const std::int64_t a = offset + k * L + 3;
                const std::int64_t b = std::min<std::int64_t>(std::max<std::int64_t>(offset + (k + 1) * L - 2, 0), static_cast<std::int64_t>(n));
                if (a < b) {
                    inside += (d.cumulative[static_cast<std::size_t>(b)] - d.cumulative[static_cast<std::size_t>(a)]) /
                              static_cast<float>(b - a);
                }
            }
            inside /= static_cast<float>(frames);
            const float score = inside - gaps - 2.0f * disagreement(gap_levels);
            if (!best || score > best->contrast) {
                best = Fit{{}, pitch, score};
                best_offset = static_cast<std::size_t>(offset);
                best->frames.resize(static_cast<std::size_t>(frames));
            }
        }
    }
    if (!best) return std::nullopt;
    const std::int64_t L = static_cast<std::int64_t>(best->pitch);
    for (std::size_t k = 0; k < best->frames.size(); ++k) {
        const std::int64_t r = static_cast<std::int64_t>(best_offset) + static_cast<std::int64_t>(k) * L;
        best->frames[k] = {static_cast<std::size_t>(r + 3), static_cast<std::size_t>(std::max<std::int64_t>(r + L - 2, 0))};
    }
    VX_DEBUG(TARGET, "fitted the strip", diag::Field{"found", ranges_text(best->frames)}, diag::field("pitch", best->pitch),
             diag::field("contrast", best->contrast));
    return best;
}

}  // namespace vexlor::scan::strip
