#include "protocol/caps/ccd.hpp"

#include "try.hpp"

namespace vexlor::protocol::caps::ccd {

std::expected<CcdMeasurement, Error> CcdMeasurement::from_page(const Page& page) {
    // The count comes first: a page without it needs 11 bytes, whatever else it lacks.
    VX_TRY(const std::size_t n, page.u8(10));
    CcdMeasurement m;
    VX_TRY(m.channels, page.u8(4));
    VX_TRY(m.curves, page.u8(9));
    m.values.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        VX_TRY(const std::uint16_t v, page.be16(11 + 2 * k));
        m.values.push_back(v);
    }
    return m;
}

}  // namespace vexlor::protocol::caps::ccd
