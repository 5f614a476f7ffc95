// The autoexposure driver: the unit's own exposure pass, or up to three host metering passes.
#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "diag/log.hpp"
#include "scan/autoexpose.hpp"
#include "session/session.hpp"
#include "text.hpp"
#include "try.hpp"

namespace vexlor::session {

namespace {

using namespace std::chrono_literals;
using protocol::window::Window;
namespace sw = protocol::caps::set_window;
namespace ae = vexlor::scan::autoexpose;

constexpr std::string_view TARGET = "vexlor::session::autoexpose";
constexpr auto METERING_START_TIMEOUT = 300s;

template <class T>
std::string optional_text(const std::optional<T>& v) {
    return v ? fmt::format("Some({})", *v) : std::string("None");
}

}  // namespace

vexlor::scan::window::Recipe metering_recipe(const protocol::caps::Capabilities& caps, bool infrared) {
    const bool rows = caps.set_window.interleavings.contains(sw::interleaving::LINE_WITHOUT_DISTANCE);
    return {caps.address.x.min_dpi, 1,
            rows ? sw::interleaving::LINE_WITHOUT_DISTANCE.bits() : sw::interleaving::MULTILINE_SIMULTANEOUS.bits(), infrared};
}

error::Result<ae::AutoExposure> metering_mechanism(const protocol::caps::Capabilities& caps, bool lock_white_balance) {
    const auto& s = caps.set_window;
    if (lock_white_balance && s.kinds.contains(sw::kind::AE_WB)) return ae::AutoExposure{ae::AutoExposure::Unit{sw::kind::AE_WB}};
    if (!lock_white_balance && s.kinds.contains(sw::kind::AE)) return ae::AutoExposure{ae::AutoExposure::Unit{sw::kind::AE}};
    if (s.analog.intersects(protocol::caps::set_window::AnalogControl::from_bits_retain(0x02 | 0x40))) {
        vexlor::scan::meter::Metering m;
        m.lock_white_balance = lock_white_balance;
        return ae::AutoExposure{ae::AutoExposure::Host{m}};
    }
    return std::unexpected(error::Error::unsupported(
        "exposure", fmt::format("this unit runs no AE pass and offers no exposure control, only {}", debug_string(s.analog))));
}

error::Result<ae::Exposures> Session::autoexpose_frame_with(const protocol::data::Rect& rect,
                                                            const vexlor::scan::window::Recipe& recipe, bool lock_white_balance,
                                                            const MeterProgressFn& progress) {
    const auto metering = metering_recipe(caps, recipe.infrared);
    VX_TRY(auto windows, metering.windows(caps, rect));
    VX_TRY(const auto mechanism, metering_mechanism(caps, lock_white_balance));
    VX_DEBUG(TARGET, "metering", diag::Field{"mechanism", ae::debug_string(mechanism)});

    if (const auto* unit = std::get_if<ae::AutoExposure::Unit>(&mechanism.value)) {
        auto copies = windows;
        for (auto& w : copies) w.kind = unit->kind;
        VX_CHECK(start_pass(copies, METERING_START_TIMEOUT));  // no READ: the unit meters while we wait
        VX_CHECK(abort());
        VX_TRY(const auto held, this->windows());
        auto exposures = ae::Exposures::read(windows);
        for (const auto& w : windows) {
            const auto it = std::find_if(held.begin(), held.end(), [&](const Window& h) { return h.id == w.id; });
            if (it != held.end()) exposures.entries()[w.channel()] = it->exposure;
        }
        return exposures;
    }

    const auto& host = std::get<ae::AutoExposure::Host>(mechanism.value).metering;
    VX_TRY(auto pass_windows, ae::prescan_windows(caps, seed_white_balance(windows)));
    protocol::decode::Samples samples;
    std::size_t passes = 0;
    const std::size_t max_passes = std::max<std::size_t>(host.max_passes, 1);
    std::optional<vexlor::scan::pass::Pass> last;
    for (;;) {
        const std::size_t number = passes + 1;
        VX_TRY(auto pass, scan_pass_with(pass_windows, METERING_START_TIMEOUT, samples,
                                         [&](const scan::Progress& p) { return progress && progress(number, p); }));
        VX_TRY(const auto image, protocol::decode::Image::partial(pass.started.layout, samples, pass.lines_decoded()));
        ++passes;
        VX_TRY(const auto times, host.apply(caps, image, pass_windows));
        for (std::size_t i = 0; i < pass_windows.size(); ++i) pass_windows[i].exposure = times[i];
        const auto levels = host.measure(image, pass_windows);
        const std::uint16_t full = vexlor::scan::meter::full_scale(image.bits);
        const bool settled = std::none_of(levels.begin(), levels.end(), [&](const auto& l) { return l && *l >= full; });
        VX_DEBUG(TARGET, "metering pass", diag::field("pass", passes), diag::field("measured", settled));
        last = std::move(pass);
        if (settled) break;
        if (passes >= max_passes) {
            VX_DEBUG(TARGET, "metering never came off full scale", diag::field("passes", passes));
            break;
        }
    }

    if (diag::enabled(diag::Level::Trace, TARGET) && last) {
        if (auto image = protocol::decode::Image::partial(last->started.layout, samples, last->lines_decoded())) {
            const auto levels = host.measure(*image, pass_windows);
            const bool readable = caps.features.supports_read(*protocol::data::code(protocol::data::DataType::Setup));
            for (std::size_t i = 0; i < std::min(pass_windows.size(), levels.size()); ++i) {
                std::optional<protocol::data::Setup> record;
                if (readable) {
                    if (auto r = setup(pass_windows[i].id)) record = std::move(*r);
                }
                std::optional<std::uint16_t> base, lo, hi;
                if (record) {
                    base = record->base_level;
                    if (!record->images.empty()) {
                        lo = record->images.front().unit_min;
                        hi = record->images.front().unit_max;
                    }
                }
                VX_DEBUG(TARGET, "metering levels", diag::field("channel", i), diag::field("id", pass_windows[i].id),
                         diag::Field{"ours", optional_text(levels[i])}, diag::Field{"base_level", optional_text(base)},
                         diag::Field{"unit_min", optional_text(lo)}, diag::Field{"unit_max", optional_text(hi)});
            }
        }
    }
    return ae::Exposures::read(pass_windows);
}

}  // namespace vexlor::session
