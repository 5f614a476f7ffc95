// Asserts that an operation was refused as unsupported with exactly this label and reason.
#pragma once

#include <string_view>

#include <gtest/gtest.h>

#include "error.hpp"

namespace vexlor::test_support {

inline void expect_unsupported(const error::Error& e, std::string_view label, std::string_view reason) {
    const auto* u = e.get_if<error::Error::Unsupported>();
    ASSERT_NE(u, nullptr) << error::debug_string(e);
    EXPECT_EQ(u->op, label);
    EXPECT_EQ(u->reason, reason);
}

template <class T>
void expect_refused(const error::Result<T>& r, std::string_view label, std::string_view reason) {
    ASSERT_FALSE(r.has_value()) << "expected a refusal: " << label << ": " << reason;
    expect_unsupported(r.error(), label, reason);
}

}  // namespace vexlor::test_support
