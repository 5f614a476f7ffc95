// VPD page C8: the frame table a unit publishes for the loaded holder.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "protocol/caps/page.hpp"

namespace vexlor::protocol::caps::frames {

struct Frame {
    bool present = false;  // length != 0
    std::uint32_t length = 0;
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    bool operator==(const Frame&) const = default;
};

struct Frames {
    std::vector<Frame> frames;

    static std::expected<Frames, Error> from_page(const Page& page);
    bool operator==(const Frames&) const = default;
};

}  // namespace vexlor::protocol::caps::frames
