// Reads everything a unit reports about itself: standard INQUIRY and its vendor pages, one
// command at a time and straight on the transport (no polling, no retries).
#pragma once

#include <cstdint>
#include <vector>

#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "transport/transport.hpp"

namespace vexlor::session::probe {

error::Result<protocol::caps::Capabilities> capabilities(transport::Transport& transport);
// One INQUIRY: the bytes the unit returned, at most `allocation` of them.
error::Result<std::vector<std::uint8_t>> inquiry_within(transport::Transport& transport, bool evpd, std::uint8_t page,
                                                        std::uint8_t allocation, transport::Duration timeout);
error::Result<protocol::caps::Page> vpd(transport::Transport& transport, std::uint8_t page);

}  // namespace vexlor::session::probe
