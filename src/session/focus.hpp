// Lens moves, autofocus and a caller's focus request for one frame.
#pragma once

#include <cstdint>

#include "protocol/caps/address.hpp"

namespace vexlor::session::focus {

// The address at fraction `f` of the span from `low` to `high` (0 when `high` < `low`), limited
// to the axis' origin range.
std::uint32_t point_on(std::uint32_t low, std::uint32_t high, float f, const protocol::caps::address::Axis& axis);

}  // namespace vexlor::session::focus
