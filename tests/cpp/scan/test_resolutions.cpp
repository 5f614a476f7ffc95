// Every resolution a unit offers works on every frame it finds: each emulated model, the
// resolutions a new user would try, with and without infrared, over the frames the unit's own
// discovery finds and a crop of each. A scan either is refused for a limit the unit states or
// builds passes the layout and the decoder take whole, covering the frame and at most a block more.
#include <gtest/gtest.h>

#include <set>

#include <fmt/format.h>

#include "cpp/session/rig.hpp"
#include "protocol/decode.hpp"
#include "protocol/image.hpp"
#include "scan/autoexpose.hpp"
#include "scan/framing.hpp"
#include "scan/thumbnail.hpp"
#include "scan/window.hpp"
#include "session/session.hpp"

namespace vexlor::scan::window {
namespace {

using protocol::data::Rect;
using protocol::model::Model;
using test_support::Rig;

// The optical resolution over 1 to 40, and both ends of the range.
std::set<std::uint16_t> resolutions(const protocol::caps::Capabilities& caps) {
    std::set<std::uint16_t> out{caps.address.x.min_dpi, caps.address.x.max_dpi};
    for (std::uint32_t k = 1; k <= 40; ++k) out.insert(static_cast<std::uint16_t>(caps.address.x.optical_dpi / k));
    return out;
}

// A pass's windows against the layout and the decoder, as the pass start will build them.
std::string decodes(const protocol::caps::Capabilities& caps, std::uint16_t units,
                    const std::vector<protocol::window::Window>& windows) {
    auto layout = protocol::image::Layout::make(caps, windows, units, std::nullopt);
    if (!layout) return error::to_string(layout.error());
    auto decoder = protocol::decode::Decoder::make(*layout);
    return decoder ? "" : error::to_string(decoder.error());
}

class Resolutions : public ::testing::TestWithParam<Model> {};

TEST_P(Resolutions, EveryScanStartsOrIsRefusedForAStatedLimit) {
    Rig rig(GetParam(), Rig::Handlers::Stateful);
    session::Session& s = rig.open();
    const auto& caps = s.caps;
    protocol::decode::Samples samples;
    auto found = framing::discover_with(s, std::nullopt, samples, {});
    ASSERT_TRUE(found) << error::debug_string(found.error());
    ASSERT_FALSE(found->frames.empty());
    if (found->thumbnail) {
        const auto thumb = thumbnail::windows(caps);
        ASSERT_TRUE(thumb);
        EXPECT_EQ(decodes(caps, s.units, *thumb), "");
    }
    std::vector<Rect> frames = found->frames;
    for (const Rect& f : found->frames) {
        // An odd crop: 37% of the frame each way, off centre.
        const std::uint32_t h = f.bottom - f.top, w = f.right - f.left;
        frames.push_back({f.top + h / 5, f.left + w / 7, f.top + h / 5 + h * 37 / 100, f.left + w / 7 + w * 37 / 100});
    }
    const std::set<std::string> stated{"scan resolution", "infrared"};
    std::size_t tried = 0, refused = 0;
    for (const std::uint16_t dpi : resolutions(caps)) {
        for (const bool infrared : {false, true}) {
            for (const bool superfine : {false, true}) {
                const Recipe recipe{dpi, 1, interleaving_for(caps, dpi, superfine), infrared};
                for (const Rect& rect : frames) {
                    const auto where = fmt::format("{} dpi, infrared {}, superfine {}, frame {}", dpi, infrared, superfine,
                                                   protocol::data::debug_string(rect));
                    ++tried;
                    if (auto ok = recipe.supported(caps); !ok) {
                        const auto* u = ok.error().get_if<error::Error::Unsupported>();
                        ASSERT_TRUE(u && stated.contains(u->op)) << where << ": " << error::to_string(ok.error());
                        ++refused;
                        continue;
                    }
                    const auto checked = check_frame(caps, s.units, rect, &recipe);
                    ASSERT_TRUE(checked) << where << ": " << error::to_string(checked.error());
                    const auto windows = recipe.windows(caps, rect);
                    ASSERT_TRUE(windows) << where;
                    ASSERT_EQ(decodes(caps, s.units, *windows), "") << where;
                    // The frame asked for is covered, and at most one block more; where the
                    // travel has no room for that, one block less.
                    const auto& w = windows->front();
                    const std::uint32_t step = std::max<std::uint32_t>(
                        protocol::image::block_feed(caps.address, dpi, w.interleaving), 1);
                    const std::uint32_t asked = rect.bottom - w.uly;
                    const std::uint32_t room = std::min(caps.address.y.origin_max - w.uly, caps.address.y.max_extent);
                    EXPECT_LT(w.length, asked + step) << where;
                    EXPECT_TRUE(w.length >= asked || (w.length + step > room && w.length + step >= asked)) << where;

                    // The frame's metering passes too, on units this scan would meter on.
                    const auto metering = session::metering_recipe(caps, infrared);
                    if (metering.supported(caps)) {
                        const auto base = metering.windows(caps, rect);
                        ASSERT_TRUE(base) << where;
                        const auto prescan = autoexpose::prescan_windows(caps, *base);
                        ASSERT_TRUE(prescan) << where << ": " << error::to_string(prescan.error());
                        ASSERT_EQ(decodes(caps, s.units, *prescan), "") << where;
                    }
                }
            }
        }
    }
    std::printf("%s: %zu tries, %zu refused for a stated limit\n", std::string(protocol::model::name(GetParam())).c_str(), tried,
                refused);
}

INSTANTIATE_TEST_SUITE_P(Models, Resolutions,
                         ::testing::Values(Model::Ls40, Model::Ls50, Model::Ls4000, Model::Ls5000, Model::Ls8000, Model::Ls9000),
                         [](const auto& info) { return std::string(protocol::model::name(info.param)).substr(3); });

}  // namespace
}  // namespace vexlor::scan::window
