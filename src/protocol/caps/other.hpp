#pragma once

// Placeholder until the page parser lands.
namespace vexlor::protocol::caps::other {

struct Features {
    bool operator==(const Features&) const = default;
};

}  // namespace vexlor::protocol::caps::other
