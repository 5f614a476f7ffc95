#include "protocol/curves.hpp"

#include <algorithm>

namespace vexlor::protocol::curves {

std::vector<std::uint16_t> table(std::span<const std::uint16_t> xs, std::span<const std::uint16_t> ys, std::size_t step) {
    const std::size_t n = std::min(xs.size(), ys.size());
    step = std::max<std::size_t>(step, 1);
    std::vector<std::uint16_t> out((TABLE_SIZE + step - 1) / step);
    if (n < 2) {
        for (std::size_t k = 0; k < out.size(); ++k) out[k] = static_cast<std::uint16_t>(k * step);
        return out;
    }
    // The segment only moves forward as the input grows: one pass over inputs and points.
    std::size_t s = 0;
    for (std::size_t k = 0; k < out.size(); ++k) {
        const std::size_t i = k * step;
        std::size_t j = s + 1;
        while (j < n && xs[j] <= i) ++j;
        s = j < n ? j - 1 : n - 2;

        const std::int64_t x = static_cast<std::int64_t>(i);
        const std::int64_t x0 = xs[s], x1 = xs[s + 1];
        if (x < xs[0] || x1 <= x0) {
            out[k] = static_cast<std::uint16_t>(i);
            continue;
        }
        const std::int64_t y0 = ys[s], y1 = ys[s + 1];
        const std::int64_t t = x < x0 ? 0 : x - x0;
        const std::int64_t v = y0 + (y1 - y0) * t / (x1 - x0);
        out[k] = static_cast<std::uint16_t>(std::clamp<std::int64_t>(v, 0, 65535));
    }
    return out;
}

std::optional<Curves> Curves::parse(const caps::ccd::CcdMeasurement& measurement, std::span<const std::uint16_t> words,
                                    std::size_t colours, std::size_t first, std::size_t step) {
    const std::size_t p = measurement.values.size();
    const std::size_t c = measurement.curves;
    if (colours == 0 || p <= 1 || first >= c || words.size() / p / c < colours) return std::nullopt;
    auto row = [&](std::size_t r) { return words.subspan(r * p, p); };
    const auto ys = row(first + c * (colours / 2));
    Curves out;
    out.tables.reserve(colours);
    for (std::size_t k = 0; k < colours; ++k) out.tables.push_back(table(row(k * c + first), ys, step));
    return out;
}

}  // namespace vexlor::protocol::curves
