// Fits a regular grid of frames to the thumbnail of a loaded strip: frames hold detail, the gaps
// between them are bare film, flat and alike in brightness.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "protocol/decode.hpp"

namespace vexlor::scan::strip {

// One column range [first, second).
using Range = std::pair<std::size_t, std::size_t>;

struct Detail {
    std::vector<float> detail;      // 0..1 per column
    std::vector<float> cumulative;  // prefix sums of detail, one longer
    std::vector<float> level;       // 0..1 per column
    std::vector<std::size_t> minima;  // the column of least detail within two of each

    static Detail make(std::vector<float> detail, std::vector<float> level);
    // From the first to the last long run of columns with detail; (0, 0) when there is none.
    Range film(std::size_t length) const;
};

struct Fit {
    std::vector<Range> frames;
    std::size_t pitch = 0;
    float contrast = 0;
    bool operator==(const Fit&) const = default;
};

// The detail and brightness of every column of the image's ready columns.
std::pair<std::vector<float>, std::vector<float>> signals(const protocol::decode::Image& image);

// How far apart the gaps' brightness lies: the upper median of the deviations from the upper median.
float disagreement(std::span<const float> levels);

// The best grid for frames about `length` columns long, or none.
std::optional<Fit> find(const protocol::decode::Image& image, std::size_t length);

std::string debug_string(const Range& r);

}  // namespace vexlor::scan::strip
