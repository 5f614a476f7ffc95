#include <gtest/gtest.h>

#include "protocol/caps/ccd.hpp"
#include "cpp/protocol/caps/page_bytes.hpp"

using namespace vexlor::protocol::caps;
using namespace vexlor::protocol::caps::ccd;
using vexlor::test::blank_page;
using vexlor::test::put;

namespace {

Page three_values() {
    Page p = blank_page(0xE3, 17);
    put(p, 4, 0x07, 1);         // channels
    put(p, 5, 0xAAAAAAAA, 4);   // bytes 5-8 not interpreted
    put(p, 9, 2, 1);            // curves
    put(p, 10, 3, 1);           // n
    put(p, 11, 0x0400, 2);
    put(p, 13, 0x8000, 2);
    put(p, 15, 0xEA60, 2);
    return p;
}

}  // namespace

TEST(CcdPage, Parses) {
    const auto m = CcdMeasurement::from_page(three_values());
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(*m, (CcdMeasurement{{0x0400, 0x8000, 0xEA60}, 0x07, 2}));
    const auto empty = CcdMeasurement::from_page(blank_page(0xE3, 11));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->values.empty());
}

TEST(CcdPage, TruncatedNeeds) {
    vexlor::test::expect_prefix_needs(three_values(), {11, 13, 15, 17},
                                      [](const Page& p) { return CcdMeasurement::from_page(p); });
    EXPECT_EQ(to_string(CcdMeasurement::from_page(vexlor::test::prefix(three_values(), 16)).error()),
              "page E3h truncated: need 17 bytes, got 16");
}
