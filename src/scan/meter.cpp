#include "scan/meter.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>

#include <fmt/format.h>

namespace vexlor::scan::meter {

namespace {
constexpr std::uint8_t INFRARED_ID = 9;
}  // namespace

std::uint16_t full_scale(std::uint8_t bits) {
    return bits >= 1 && bits <= 15 ? static_cast<std::uint16_t>((1u << bits) - 1) : std::uint16_t{65535};
}

std::optional<std::uint16_t> tail(std::span<const std::uint16_t> plane, float percentile) {
    if (plane.empty()) return std::nullopt;
    auto counts = std::make_unique<std::array<std::uint64_t, 65536>>();
    counts->fill(0);
    for (const std::uint16_t v : plane) ++(*counts)[v];
    const float p = std::clamp(percentile, 0.0f, 1.0f);
    const float rank = static_cast<float>(plane.size() - 1) * p;
    const std::uint64_t k = rank > 0.0f ? static_cast<std::uint64_t>(rank) : 0;
    std::uint64_t seen = 0;
    for (std::size_t v = 0; v < counts->size(); ++v) {
        seen += (*counts)[v];
        if (seen > k) return static_cast<std::uint16_t>(v);
    }
    return std::uint16_t{65535};
}

std::vector<std::optional<std::uint16_t>> Metering::measure(const protocol::decode::Image& image,
                                                            std::span<const protocol::window::Window> windows) const {
    std::vector<std::optional<std::uint16_t>> levels;
    levels.reserve(windows.size());
    std::size_t next_color = 0;
    for (const auto& w : windows) {
        if (w.id == INFRARED_ID) {
            levels.push_back(tail(image.infrared, percentile));
        } else if (next_color < image.planes.size()) {
            levels.push_back(tail(image.planes[next_color++], percentile));
        } else {
            levels.push_back(std::nullopt);  // fewer colour planes than colour windows: nothing to meter
        }
    }
    return levels;
}

error::Result<std::vector<std::uint32_t>> Metering::apply(const protocol::caps::Capabilities& caps,
                                                          const protocol::decode::Image& image,
                                                          std::span<const protocol::window::Window> windows) const {
    const std::size_t carried = image.planes.size() + (image.infrared.empty() ? 0 : 1);
    if (carried != windows.size()) {
        return std::unexpected(error::Error::unsupported(
            "metering", fmt::format("the pass carried {} channels and there are {} windows", carried, windows.size())));
    }
    const std::uint16_t full = full_scale(image.bits);
    const float scaled = std::clamp(std::clamp(target, 0.0f, 1.0f) * static_cast<float>(full), 0.0f, 65535.0f);
    const auto target_level = static_cast<std::uint16_t>(scaled);
    const auto levels = measure(image, windows);

    std::vector<std::optional<double>> ratios;
    for (const auto& level : levels) {
        if (!level || *level == 0) {
            ratios.push_back(std::nullopt);
        } else if (*level >= full) {
            ratios.push_back(0.5);
        } else {
            ratios.push_back(static_cast<double>(target_level) / static_cast<double>(*level));
        }
    }
    double lock = std::numeric_limits<double>::infinity();
    if (lock_white_balance) {
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (windows[i].id != INFRARED_ID && ratios[i] && !std::isnan(*ratios[i])) lock = std::min(lock, *ratios[i]);
        }
    }
    // An inverted range from the unit is read the right way round rather than clamping into nothing.
    const std::uint32_t lo = std::min(caps.set_window.exposure_min, caps.set_window.exposure_max);
    const std::uint32_t hi = std::max(caps.set_window.exposure_min, caps.set_window.exposure_max);
    std::vector<std::uint32_t> out;
    out.reserve(windows.size());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const std::uint32_t e = windows[i].exposure;
        std::optional<double> factor = ratios[i];
        if (lock_white_balance && windows[i].id != INFRARED_ID && std::isfinite(lock)) factor = lock;
        if (!factor) {
            out.push_back(e);
            continue;
        }
        const double t = std::clamp(std::round(static_cast<double>(e) * *factor), static_cast<double>(lo), static_cast<double>(hi));
        out.push_back(t >= 4294967295.0 ? 4294967295u : static_cast<std::uint32_t>(t));
    }
    return out;
}

std::string debug_string(const Metering& m) {
    // Floats as their debug form: the shortest text that reads back, with ".0" on whole numbers.
    const auto real = [](float f) {
        std::string s = fmt::format("{}", f);
        if (s.find_first_of(".eninf") == std::string::npos) s += ".0";
        return s;
    };
    return fmt::format("Metering {{ target: {}, percentile: {}, lock_white_balance: {}, max_passes: {} }}", real(m.target),
                       real(m.percentile), m.lock_white_balance, m.max_passes);
}

}  // namespace vexlor::scan::meter
