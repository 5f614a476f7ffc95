#include "scan/frame.hpp"

#include <chrono>

#include "diag/log.hpp"
#include "protocol/model.hpp"
#include "scan/clean.hpp"
#include "scan/framing.hpp"
#include "session/session.hpp"
#include "try.hpp"

namespace vexlor::scan::frame {

namespace {

using namespace std::chrono_literals;
constexpr std::string_view TARGET = "vexlor::scan::frame";
constexpr auto IMAGE_START_TIMEOUT = 1800s;

// All CCD rows at once read in groups of rows on some units; where such a group is larger than one
// READ may carry, the pass would be refused after the unit has moved, so read a row at a time.
window::Recipe readable(const session::Session& s, window::Recipe recipe, const protocol::data::Rect& rect) {
    namespace sw = protocol::caps::set_window;
    if (recipe.interleaving != sw::interleaving::MULTILINE_SIMULTANEOUS.bits() ||
        !s.caps.set_window.interleavings.contains(sw::interleaving::LINE_WITHOUT_DISTANCE)) {
        return recipe;
    }
    auto windows = recipe.windows(s.caps, rect);
    if (!windows) return recipe;  // the scan reports it
    auto layout = protocol::image::Layout::make(s.caps, *windows, s.units, std::nullopt);
    if (!layout) return recipe;
    const std::size_t limit = s.image_read_limit();
    const std::uint64_t unit = std::max(layout->first_unit, layout->unit);
    if (unit <= limit) return recipe;
    VX_DEBUG(TARGET, "a group of CCD rows is larger than a READ, so reading one row at a time", diag::field("unit", unit),
             diag::field("limit", limit));
    recipe.interleaving = sw::interleaving::LINE_WITHOUT_DISTANCE.bits();
    return recipe;
}

}  // namespace

error::Result<bool> register_for(session::Session& s, const protocol::data::Rect& rect) {
    return framing::register_frame(s, rect);
}

void put_back(session::Session& s, bool registered) {
    if (!registered || !s.frame_table) return;
    const session::Cleanup cleaning(s);
    const auto* kept = std::get_if<protocol::data::FrameTable::Positions>(&s.frame_table->value);
    if (!kept) return;
    const protocol::data::BoundaryType2 copy = kept->table;
    auto sent = [&]() -> error::Result<void> {
        VX_TRY(const auto bytes, copy.to_bytes());
        return s.send_data(protocol::data::DataType::Boundary2, bytes);
    }();
    if (!sent) {
        VX_WARN(TARGET, "could not put the measured frame table back, so a later rectangle can position against this one",
                diag::Field{"e", error::to_string(sent.error())});
    }
}

error::Result<Focusing> focus_on(session::Session& s, const protocol::data::Rect& rect, const focus::Focus& focus) {
    VX_TRY(const auto focused, s.focus_frame(rect, focus));
    std::optional<std::uint16_t> position;
    if (auto p = s.focus_position()) {
        VX_INFO(TARGET, "focused at", diag::field("position", *p));
        position = *p;
    }
    return Focusing{focused, position};
}

namespace {

// Exposures given by the caller, kept to the channels the pass scans: each must be a time the unit
// offers. Checked before anything is sent, not when SET WINDOW is refused after the unit moved.
error::Result<autoexpose::Exposures> given_for(const session::Session& s, const autoexpose::Exposures& given,
                                               std::span<const protocol::window::Window> windows) {
    autoexpose::Exposures kept;
    for (const auto& w : windows) {
        const auto channel = protocol::window::Channel(w.id);
        const auto it = given.iter().find(channel);
        if (it == given.iter().end()) continue;
        VX_CHECK(protocol::window::check_exposure_time(it->second, s.caps.set_window));
        kept.entries()[channel] = it->second;
    }
    return kept;
}

// Dust removal is a correction of a scan already read: when it cannot run, the scan comes back
// as read rather than being lost.
std::optional<std::size_t> cleaned(session::Session& s, protocol::decode::Samples& samples, const pass::Pass& pass,
                                   dust::Workspace* workspace) {
    if (!pass.complete) {
        // The lines that never came read as black: cleaning would rebuild pictures into them.
        VX_WARN("vexlor::scan::clean", "the pass came incomplete, so it comes back as scanned, not cleaned",
                diag::field("blocks", pass.blocks));
        return std::nullopt;
    }
    auto rebuilt = clean::clean_frame(samples, pass, protocol::model::from_product(s.caps.identity.product), workspace);
    if (rebuilt) return *rebuilt;
    VX_WARN("vexlor::scan::clean", "could not clean this frame, so it comes back as scanned",
            diag::Field{"e", error::to_string(rebuilt.error())});
    return std::nullopt;
}

}  // namespace

error::Result<Scanned> scan_frame_with(session::Session& s, const window::Recipe& asked, const protocol::data::Rect& rect,
                                       const ScanOptions& options, protocol::decode::Samples& samples, const ProgressFn& progress) {
    const window::Recipe recipe = readable(s, asked, rect);
    VX_CHECK(window::check_frame(s.caps, s.units, rect, &recipe));
    VX_TRY(auto windows, recipe.windows(s.caps, rect));
    std::optional<autoexpose::Exposures> given;
    if (options.exposures) {
        VX_TRY(given, given_for(s, *options.exposures, windows));
    }
    auto scanned = at_frame(s, rect, [&]() -> error::Result<Scanned> {
        VX_TRY(const auto focusing, focus_on(s, rect, options.focus));
        autoexpose::Exposures exposures;
        if (given) {
            exposures = *given;
        } else {
            VX_TRY(exposures, s.autoexpose_frame_with(rect, recipe, options.lock_white_balance,
                                                       [&](std::size_t pass, const session::scan::Progress& p) {
                                                           return progress && progress(Stage{Stage::Meter{pass}}, p);
                                                       }));
        }
        exposures.apply(windows);
        VX_TRY(auto pass, s.scan_pass_with(windows, IMAGE_START_TIMEOUT, samples, [&](const session::scan::Progress& p) {
            return progress && progress(Stage{Stage::Scan{}}, p);
        }));
        return Scanned{std::nullopt, std::move(pass), std::move(exposures), focusing.second, focusing.first};
    });
    if (!scanned) return scanned;
    samples.to_full_scale(scanned->pass.started.layout.bits);
    if (options.clean) scanned->cleaned = cleaned(s, samples, scanned->pass, options.workspace);
    return scanned;
}

error::Result<autoexpose::Exposures> meter_frame_with(session::Session& s, const window::Recipe& recipe,
                                                      const protocol::data::Rect& rect, bool lock_white_balance,
                                                      const std::function<bool(std::size_t, const session::scan::Progress&)>& progress) {
    // The metering pass's own recipe decides what is sent: refuse what it cannot scan up front.
    const window::Recipe metering = session::metering_recipe(s.caps, recipe.infrared);
    VX_CHECK(metering.supported(s.caps));
    VX_CHECK(window::check_frame(s.caps, s.units, rect, &metering));
    return at_frame(s, rect, [&] { return s.autoexpose_frame_with(rect, recipe, lock_white_balance, progress); });
}

error::Result<Focusing> focus_frame(session::Session& s, const protocol::data::Rect& rect, const focus::Focus& focus) {
    VX_CHECK(window::check_frame(s.caps, s.units, rect, nullptr));
    return at_frame(s, rect, [&] { return focus_on(s, rect, focus); });
}

}  // namespace vexlor::scan::frame
