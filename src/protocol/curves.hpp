// The CCD correction curves: one table per CCD row, shared read-only with the decoder.
#pragma once

#include <cstdint>
#include <vector>

namespace vexlor::protocol::curves {

struct Curves {
    std::vector<std::vector<std::uint16_t>> tables;
};

}  // namespace vexlor::protocol::curves
