#pragma once

// Placeholder until the page parser lands.
namespace vexlor::protocol::caps::frames {

struct Frames {
    bool operator==(const Frames&) const = default;
};

}  // namespace vexlor::protocol::caps::frames
