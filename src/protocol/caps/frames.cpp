#include "protocol/caps/frames.hpp"

namespace vexlor::protocol::caps::frames {

std::expected<Frames, Error> Frames::from_page(const Page& page) {
    if (page.size() < 5) return std::unexpected(page.truncated(5));
    const std::size_t n = page.data[4];
    Frames out;
    out.frames.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t start = 5 + 16 * i;
        std::uint32_t fields[4];  // x, y, width, length, in wire order
        for (std::size_t k = 0; k < 4; ++k) {
            const std::size_t at = start + 4 * k;
            if (page.size() < at + 4) return std::unexpected(page.truncated(at + 4));
            fields[k] = bytes::be32(page.data.data() + at);
        }
        Frame f;
        f.x = fields[0];
        f.y = fields[1];
        f.width = fields[2];
        f.length = fields[3];
        f.present = f.length != 0;
        out.frames.push_back(f);
    }
    return out;
}

}  // namespace vexlor::protocol::caps::frames
