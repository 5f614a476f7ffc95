#include "protocol/caps/ccd.hpp"

namespace vexlor::protocol::caps::ccd {

std::expected<CcdMeasurement, Error> CcdMeasurement::from_page(const Page& page) {
    if (page.size() <= 10) return std::unexpected(page.truncated(11));
    CcdMeasurement m;
    m.channels = page.data[4];
    m.curves = page.data[9];
    const std::size_t n = page.data[10];
    m.values.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t at = 11 + 2 * k;
        if (page.size() < at + 2) return std::unexpected(page.truncated(at + 2));
        m.values.push_back(bytes::be16(page.data.data() + at));
    }
    return m;
}

}  // namespace vexlor::protocol::caps::ccd
