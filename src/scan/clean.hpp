// Dust removal for one scanned frame: finds the planes, picks the tuning for the unit,
// calibrates against clear film and runs the cleaner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "protocol/decode.hpp"
#include "protocol/model.hpp"
#include "scan/pass.hpp"

namespace vexlor::dust {
class Workspace;
}

namespace vexlor::scan::clean {

// Rebuilds the defects of the pass's frame in its colour planes; returns the pixels rebuilt.
// On failure the planes are unchanged: a frame too large for the cleaner, or one it cannot get
// the memory for, is refused like one it cannot calibrate. A frame without rows or columns has
// nothing to rebuild.
// The working images come from `workspace`, kept by the caller from frame to frame (the
// session's); without one the call takes its own and gives it back.
error::Result<std::size_t> clean_frame(protocol::decode::Samples& samples, const pass::Pass& pass,
                                       std::optional<protocol::model::Model> model,
                                       dust::Workspace* workspace = nullptr);

// The index into dust::PROFILES of a model's family.
std::uint8_t profile_of(protocol::model::Model model);

// Sample (y x step, x x step) of each whole step x step block of a plane `width` samples wide.
std::vector<std::uint16_t> decimate(std::span<const std::uint16_t> plane, std::size_t width, std::size_t step);
// The same into `out`, which holds the output's whole rows.
void decimate(std::span<const std::uint16_t> plane, std::size_t width, std::size_t step, std::span<std::uint16_t> out);

// The decimation step for calibrating a frame of this many pixels: frames below 10 million
// pixels take 1, larger ones come down to about 2.5 to 5.6 million.
std::size_t decimation_step(std::size_t pixels);

}  // namespace vexlor::scan::clean
