// The pages and records each emulated model publishes, built by the emulator's own encoder.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/model.hpp"

namespace vexlor::emulator {

// The VPD page `code` as the model answers INQUIRY with EVPD set, or none when it refuses it.
std::optional<std::vector<std::uint8_t>> vpd_page(protocol::model::Model model, std::uint8_t code);

}  // namespace vexlor::emulator
