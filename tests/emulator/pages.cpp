#include "emulator/pages.hpp"

namespace vexlor::emulator {

std::optional<std::vector<std::uint8_t>> vpd_page(protocol::model::Model, std::uint8_t) { return std::nullopt; }

}  // namespace vexlor::emulator
