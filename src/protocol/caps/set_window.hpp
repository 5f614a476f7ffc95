#pragma once

// Placeholder until the page parser lands.
namespace vexlor::protocol::caps::set_window {

struct SetWindowFunction {
    bool operator==(const SetWindowFunction&) const = default;
};

}  // namespace vexlor::protocol::caps::set_window
