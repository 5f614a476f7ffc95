// Early return for expected values: VX_TRY(auto x, f()); or VX_TRY(x, f()) for an existing name;
// VX_CHECK(f()) for an expected<void, E>.
#pragma once

#include <expected>
#include <utility>

#define VX_CONCAT_(a, b) a##b
#define VX_CONCAT(a, b) VX_CONCAT_(a, b)
#define VX_TRY_IMPL(tmp, decl, expr)                          \
    auto tmp = (expr);                                        \
    if (!tmp) return std::unexpected(std::move(tmp).error()); \
    decl = std::move(*tmp)
#define VX_TRY(decl, expr) VX_TRY_IMPL(VX_CONCAT(vx_try_, __LINE__), decl, expr)
#define VX_CHECK(expr)                                                        \
    do {                                                                      \
        auto vx_check_ = (expr);                                              \
        if (!vx_check_) return std::unexpected(std::move(vx_check_).error()); \
    } while (0)
