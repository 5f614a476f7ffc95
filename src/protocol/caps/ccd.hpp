#pragma once

// Placeholder until the page parser lands.
namespace vexlor::protocol::caps::ccd {

struct CcdMeasurement {
    bool operator==(const CcdMeasurement&) const = default;
};

}  // namespace vexlor::protocol::caps::ccd
