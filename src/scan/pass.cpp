#include "scan/pass.hpp"

#include <algorithm>

#include "try.hpp"

namespace vexlor::scan::pass {

std::uint64_t Pass::lines_decoded() const {
    auto d = protocol::decode::Decoder::make(started.layout);
    if (!d) return 0;
    return std::min<std::uint64_t>(std::uint64_t{blocks} * d->rows() * d->gap(), cols);
}

error::Result<protocol::decode::Image> Pass::image(const protocol::decode::Samples& samples) const {
    std::uint64_t n = 0;
    if (rows > 0 && cols > 0) {
        // From the last column back: blocks that never arrived are all zero.
        for (std::uint64_t c = cols; c-- > 0 && n == 0;) {
            for (const auto& plane : samples.planes) {
                bool data = false;
                for (std::uint64_t r = 0; r < rows && !data; ++r) {
                    const std::uint64_t i = r * cols + c;
                    data = i < plane.size() && plane[i] != 0;  // a short plane reads as empty there
                }
                if (data) {
                    n = c + 1;
                    break;
                }
            }
        }
    }
    return protocol::decode::Image::partial(started.layout, samples, n);
}

}  // namespace vexlor::scan::pass
