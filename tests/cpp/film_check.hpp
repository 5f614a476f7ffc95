// Holds decoded planes against what the emulated unit meant to send, pixel for pixel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "emulator/render.hpp"
#include "protocol/decode.hpp"

namespace vexlor::test_support {

// The first pixel where the planes differ from the pass the unit rendered, as text; none when
// every pixel agrees. Rows read at once differ in gain and the host's curves take it out only
// approximately, so those passes are held within a few percent.
inline std::optional<std::string> film_mismatch(const emulator::render::Stream& pass, const protocol::decode::Samples& samples,
                                                std::uint32_t step = 1) {
    const auto& l = pass.layout();
    const std::uint64_t w = l.pixels, lines = l.lines;
    const bool corrected = pass.row_gain(0) != 1000;
    std::size_t colour = 0;
    for (std::size_t i = 0; i < l.channels.size(); ++i) {
        const bool ir = l.channels[i].infrared();
        const auto* plane = ir ? (samples.infrared ? &*samples.infrared : nullptr) : (colour < samples.planes.size() ? &samples.planes[colour] : nullptr);
        if (!ir) ++colour;
        if (!plane || plane->size() < w * lines) return fmt::format("window {} has no plane of {} samples", i, w * lines);
        for (std::uint32_t j = 0; j < lines; j += step) {
            for (std::uint32_t x = 0; x < w; x += step) {
                const std::uint16_t got = (*plane)[(w - 1 - x) * lines + j];
                const std::uint16_t meant = pass.value(i, x, j);
                const int diff = got > meant ? got - meant : meant - got;
                const int allowed = corrected ? 3 + meant * 5 / 100 : 0;
                if (diff > allowed) {
                    return fmt::format("window {} (id {}) pixel {} line {}: got {}, meant {}", i, l.channels[i].byte(), x, j, got, meant);
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace vexlor::test_support
