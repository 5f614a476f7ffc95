#include "protocol/caps/frames.hpp"

#include "try.hpp"

namespace vexlor::protocol::caps::frames {

std::expected<Frames, Error> Frames::from_page(const Page& page) {
    VX_TRY(const std::size_t n, page.u8(4));
    Frames out;
    out.frames.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t start = 5 + 16 * i;
        Frame f;
        VX_TRY(f.x, page.be32(start));
        VX_TRY(f.y, page.be32(start + 4));
        VX_TRY(f.width, page.be32(start + 8));
        VX_TRY(f.length, page.be32(start + 12));
        f.present = f.length != 0;
        out.frames.push_back(f);
    }
    return out;
}

}  // namespace vexlor::protocol::caps::frames
