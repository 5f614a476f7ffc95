// VPD page E3: the shape of the CCD correction curves.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "protocol/caps/page.hpp"

namespace vexlor::protocol::caps::ccd {

struct CcdMeasurement {
    std::vector<std::uint16_t> values;  // its length is the number of points of each curve
    std::uint8_t channels = 0;
    std::uint8_t curves = 0;  // curves per colour in the CCD data record

    static std::expected<CcdMeasurement, Error> from_page(const Page& page);
    bool operator==(const CcdMeasurement&) const = default;
};

}  // namespace vexlor::protocol::caps::ccd
