#include "scan/thumbnail.hpp"

#include <fmt/format.h>

#include "protocol/model.hpp"
#include "scan/window.hpp"
#include "try.hpp"

namespace vexlor::scan::thumbnail {

error::Result<std::vector<protocol::window::Window>> windows(const protocol::caps::Capabilities& caps) {
    namespace sw = protocol::caps::set_window;
    using protocol::model::Model;
    const auto& s = caps.set_window;
    if (!s.interleavings.contains(sw::interleaving::LINE_WITHOUT_DISTANCE)) {
        return std::unexpected(error::Error::unsupported(
            "thumbnail window", fmt::format("a thumbnail needs line ordering and this unit offers {}", debug_string(s.interleavings))));
    }
    const auto model = protocol::model::from_product(caps.identity.product);
    if (!model) return std::unexpected(error::Error::unsupported("thumbnail window", "unrecognized model"));
    const std::uint8_t byte41 = (*model == Model::Ls8000 || *model == Model::Ls9000) ? 0x00 : 0x81;

    const auto& a = caps.address;
    std::uint32_t left = a.x.origin_min;
    std::uint32_t width = a.x.max_extent;
    if (caps.frames && !caps.frames->frames.empty()) {
        left = caps.frames->frames.front().x;
        width = caps.frames->frames.front().width;
    }
    VX_TRY(auto out, window::blank(s.depths, window::color_channels(caps)));
    for (auto& w : out) {
        w.x_dpi = w.y_dpi = a.thumbnail_dpi_min;
        w.ulx = left;
        w.width = width;
        w.uly = a.y.origin_min;
        w.length = a.y.origin_max;
        w.kind = sw::kind::THUMBNAIL;
        w.mode = sw::mode::NORMAL_QUALITY;
        w.interleaving = sw::interleaving::LINE_WITHOUT_DISTANCE;
        w.byte41 = byte41;
    }
    return out;
}

}  // namespace vexlor::scan::thumbnail
