// Scanning one frame of the emulated film: the recipe the unit can read, and the picture it gives.
#include <gtest/gtest.h>

#include "cpp/film_check.hpp"
#include "cpp/session/rig.hpp"
#include "scan/frame.hpp"

namespace vexlor::test_support {
namespace {

using protocol::model::Model;
namespace sw = protocol::caps::set_window;

TEST(FilmFrame, ReadsARowAtATimeWhereAGroupOfRowsOutgrowsARead) {
    struct Case {
        const char* name;
        std::uint32_t width;
        sw::ColorInterleaving read_as;
    };
    // Three rows of four 16-bit channels: 3 x 8 bytes a pixel; the unit reads at most 49152 bytes.
    const Case cases[] = {
        {"a narrow strip fits", 600, sw::interleaving::MULTILINE_SIMULTANEOUS},
        {"the whole width does not", 3950, sw::interleaving::LINE_WITHOUT_DISTANCE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(Model::Ls5000, Rig::Handlers::Stateful);
        auto& s = rig.open();
        const auto frame = rig.unit->film().frames.front();
        const protocol::data::Rect rect{frame.top, 0, frame.top + 36, c.width};
        const scan::window::Recipe recipe{4000, 1, sw::interleaving::MULTILINE_SIMULTANEOUS.bits(), true};
        const scan::autoexpose::Exposures given;
        scan::frame::ScanOptions options{.exposures = &given, .focus = {scan::focus::Focus::Hold{}}};
        protocol::decode::Samples samples;
        auto scanned = scan::frame::scan_frame_with(s, recipe, rect, options, samples, {});
        ASSERT_TRUE(scanned) << error::debug_string(scanned.error());
        EXPECT_EQ(scanned->pass.started.layout.interleaving, c.read_as);
        EXPECT_TRUE(scanned->pass.complete);
        EXPECT_EQ(film_mismatch(*rig.unit->pass(), samples), std::nullopt);
    }
}

}  // namespace
}  // namespace vexlor::test_support
