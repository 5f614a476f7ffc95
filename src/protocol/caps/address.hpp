#pragma once

// Placeholder until the page parser lands.
namespace vexlor::protocol::caps::address {

struct Address {
    bool operator==(const Address&) const = default;
};

}  // namespace vexlor::protocol::caps::address
