#include <gtest/gtest.h>

#include "protocol/caps/frames.hpp"
#include "cpp/protocol/caps/page_bytes.hpp"

using namespace vexlor::protocol::caps;
using namespace vexlor::protocol::caps::frames;
using vexlor::test::blank_page;
using vexlor::test::put;

namespace {

// Two entries at 5 and 21: x, y, width, length each; the second slot is empty.
Page two_entries() {
    Page p = blank_page(0xC8, 37);
    put(p, 4, 2, 1);
    put(p, 5, 100, 4);
    put(p, 9, 1200, 4);
    put(p, 13, 8800, 4);
    put(p, 17, 8900, 4);
    put(p, 21, 7, 4);
    put(p, 25, 8, 4);
    put(p, 29, 9, 4);
    return p;
}

}  // namespace

TEST(FramesPage, EntriesKeepEmptySlots) {
    const auto f = Frames::from_page(two_entries());
    ASSERT_TRUE(f.has_value());
    const std::vector<Frame> want{{.present = true, .length = 8900, .x = 100, .y = 1200, .width = 8800},
                                  {.present = false, .length = 0, .x = 7, .y = 8, .width = 9}};
    EXPECT_EQ(f->frames, want);
    EXPECT_EQ(Frames::from_page(blank_page(0xC8, 5)), Frames{});
}

TEST(FramesPage, TruncatedNeeds) {
    vexlor::test::expect_prefix_needs(two_entries(), {5, 9, 13, 17, 21, 25, 29, 33, 37},
                                      [](const Page& p) { return Frames::from_page(p); });
    EXPECT_EQ(to_string(Frames::from_page(vexlor::test::prefix(two_entries(), 30)).error()),
              "page C8h truncated: need 33 bytes, got 30");
}
