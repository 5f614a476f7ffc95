#include "scan/autoexpose.hpp"

#include "protocol/model.hpp"
#include "scan/window.hpp"
#include "try.hpp"

namespace vexlor::scan::autoexpose {

namespace sw = protocol::caps::set_window;

std::string debug_string(const AutoExposure& a) {
    if (const auto* u = std::get_if<AutoExposure::Unit>(&a.value)) return "Unit(" + vexlor::debug_string(u->kind) + ")";
    return "Host(" + meter::debug_string(std::get<AutoExposure::Host>(a.value).metering) + ")";
}

Exposures Exposures::read(std::span<const protocol::window::Window> windows) {
    Map m;
    for (const auto& w : windows) m[w.channel()] = w.exposure;
    return Exposures(std::move(m));
}

void Exposures::apply(std::span<protocol::window::Window> windows) const {
    for (auto& w : windows) {
        if (const auto it = map_.find(w.channel()); it != map_.end()) w.exposure = it->second;
    }
}

error::Result<std::vector<protocol::window::Window>> prescan_windows(const protocol::caps::Capabilities& caps,
                                                      std::span<const protocol::window::Window> windows) {
    using protocol::model::Model;
    const auto model = protocol::model::from_product(caps.identity.product);
    const bool large = model == Model::Ls8000 || model == Model::Ls9000;
    std::vector<protocol::window::Window> out(windows.begin(), windows.end());
    for (auto& w : out) {
        w.x_dpi = large ? caps.address.x.min_dpi : 285;
        w.y_dpi = large ? static_cast<std::uint16_t>(caps.address.x.min_dpi / 2) : 285;
        w.multiple_reading = 0;
        w.byte41 &= 0x7F;
        w.mode = caps.set_window.modes.contains(sw::mode::HIGH_SPEED)
                     ? sw::mode::HIGH_SPEED
                     : sw::ScanMode::from_bits_retain(w.mode.bits() & ~sw::mode::MULTI_READING.bits());
    }
    VX_CHECK(window::fit_blocks(caps, out));
    return out;
}

}  // namespace vexlor::scan::autoexpose
