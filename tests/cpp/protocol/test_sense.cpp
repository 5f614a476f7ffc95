#include <gtest/gtest.h>

#include "protocol/sense.hpp"

using namespace vexlor;

TEST(Sense, GoodWithoutSense) {
    transport::Reply r{std::nullopt, 0, transport::Status::good()};
    EXPECT_EQ(protocol::sense::interpret(r), protocol::sense::Interpretation{protocol::sense::Interpretation::Good{}});
}
