// The thumbnail pass of frame discovery: its windows, and what is made of its image.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/data.hpp"
#include "protocol/decode.hpp"
#include "protocol/window.hpp"
#include "scan/pass.hpp"

namespace vexlor::scan::thumbnail {

// The window set of a low-resolution pass along the whole loaded strip; never infrared.
error::Result<std::vector<protocol::window::Window>> windows(const protocol::caps::Capabilities& caps);

// Feed addresses per thumbnail column, as a ratio.
struct LinePitch {
    std::uint64_t addresses = 1;
    std::uint64_t columns = 1;

    // From the perforation readings of a pass, when the film moved far enough and the result lies
    // within a quarter of the nominal pitch.
    static std::optional<LinePitch> measured(const protocol::caps::Capabilities& caps,
                                             std::span<const protocol::data::PerforationInformation> readings);
    bool operator==(const LinePitch&) const = default;
};

struct Tops {
    std::vector<std::uint32_t> tops;  // feed addresses, in fit order
    std::size_t pitch = 0;            // the fitted pitch in columns
    float contrast = 0;
};

// Frame tops from the strip fit of a thumbnail; none when nothing fits.
std::optional<Tops> tops(const protocol::caps::Capabilities& caps, const protocol::decode::Image& image, std::uint64_t addresses,
                         std::uint64_t columns, std::uint32_t length);

struct Rects {
    std::vector<protocol::data::Rect> rects;
    LinePitch pitch;
    std::optional<float> contrast;
};

struct Positions {
    std::vector<protocol::data::FramePosition> positions;
    LinePitch pitch;
    std::uint32_t length = 0;  // the reachable frame length
    std::optional<float> contrast;
};

// Rectangles for the frames on a thumbnail pass of frames `length` feed addresses long.
error::Result<Rects> frames(const protocol::caps::Capabilities& caps, const pass::Pass& pass,
                            const protocol::decode::Samples& samples, std::uint32_t length);
// Frame positions tied to the perforation readings taken during the pass.
error::Result<Positions> frames_type2(const protocol::caps::Capabilities& caps, const pass::Pass& pass,
                                      const protocol::decode::Samples& samples,
                                      std::span<const protocol::data::PerforationInformation> readings, std::uint32_t length);

}  // namespace vexlor::scan::thumbnail
