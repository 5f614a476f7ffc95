#include "session/focus.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "diag/log.hpp"
#include "session/session.hpp"
#include "try.hpp"

namespace vexlor::session {

using namespace std::chrono_literals;
using protocol::data::Op;
using protocol::data::Operation;
using vexlor::scan::focus::Focus;
using vexlor::scan::focus::Focused;

namespace {

constexpr std::string_view TARGET = "vexlor::session::focus";
constexpr auto FOCUS_MOVE_TIMEOUT = 60s;
constexpr auto AUTOFOCUS_TIMEOUT = 180s;

error::Error not_offered(Op op) {
    return error::Error::unsupported("execute operation",
                                     fmt::format("this unit does not offer {}", protocol::data::debug_string(op)));
}

// A float's truncation toward zero into 32 bits: NaN and negatives give 0, too large saturates.
std::uint32_t saturating_u32(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 4294967296.0f) return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(v);
}

std::string rect_list(const std::vector<protocol::data::Rect>& rects) {
    std::vector<std::string> items;
    for (const auto& r : rects) items.push_back(protocol::data::debug_string(r));
    return fmt::format("[{}]", fmt::join(items, ", "));
}

}  // namespace

namespace focus {

std::uint32_t point_on(std::uint32_t low, std::uint32_t high, float f, const protocol::caps::address::Axis& axis) {
    const std::uint32_t extent = high < low ? 0 : high - low;
    if (!std::isnan(f)) f = std::clamp(f, 0.0f, 1.0f);
    const std::uint32_t offset = saturating_u32(static_cast<float>(extent) * f);
    const std::uint32_t at = low > std::numeric_limits<std::uint32_t>::max() - offset
                                 ? std::numeric_limits<std::uint32_t>::max()
                                 : low + offset;
    // An inverted range holds no point; keep the computed one and let autofocus refuse it.
    if (axis.origin_min > axis.origin_max) return at;
    return std::clamp(at, axis.origin_min, axis.origin_max);
}

}  // namespace focus

error::Result<std::uint16_t> Session::focus_position() {
    VX_TRY(const auto p, get_parameter(Op::of(Op::Kind::FocusMove)));
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(p.first, 65535));
}

error::Result<void> Session::focus_to(std::uint16_t position) {
    const Op op = Op::of(Op::Kind::FocusMove);
    if (!caps.features.execute_ops.offers(op.code())) return std::unexpected(not_offered(op));
    const auto& a = caps.address;
    if (position < a.focus_min || position > a.focus_max) {
        return std::unexpected(error::Error::unsupported(
            "focus position", fmt::format("{} is outside {} to {}", position, a.focus_min, a.focus_max)));
    }
    return execute(op, Operation{0, position, 0}, FOCUS_MOVE_TIMEOUT);
}

error::Result<void> Session::autofocus(std::uint32_t x, std::uint32_t y, std::optional<std::uint8_t> color) {
    const Op op = Op::of(color ? Op::Kind::ColorAutoFocus : Op::Kind::AutoFocus);
    if (!caps.features.execute_ops.offers(op.code())) return std::unexpected(not_offered(op));
    if (caps.features.cooperation.contains(protocol::caps::other::cooperation::AUTOFOCUS)) {
        return std::unexpected(error::Error::unsupported("autofocus", "this unit leaves focusing to the driver"));
    }
    const auto outside = [](char letter, std::uint32_t v, const protocol::caps::address::Axis& axis) {
        return error::Error::unsupported(
            "autofocus address", fmt::format("{} {} is outside {} to {}", letter, v, axis.origin_min, axis.origin_max));
    };
    const auto& ax = caps.address.x;
    const auto& ay = caps.address.y;
    if (x < ax.origin_min || x > ax.origin_max) return std::unexpected(outside('X', x, ax));
    if (y < ay.origin_min || y > ay.origin_max) return std::unexpected(outside('Y', y, ay));
    if (frame_table) {
        if (const auto* rects = std::get_if<protocol::data::FrameTable::Rects>(&frame_table->value);
            rects && !rects->table.rects.empty() && !rects->table.at(x, y)) {
            return std::unexpected(error::Error::unsupported(
                "autofocus address",
                fmt::format("({}, {}) is in none of the {}", x, y, rect_list(rects->table.rects))));
        }
    }
    return execute(op, Operation{color.value_or(0), x, y}, AUTOFOCUS_TIMEOUT);
}

error::Result<Focused> Session::focus_frame(const protocol::data::Rect& frame, const Focus& request) {
    if (std::holds_alternative<Focus::Hold>(request.value)) return Focused::Skipped;
    if (const auto* p = std::get_if<Focus::Position>(&request.value)) {
        VX_CHECK(focus_to(p->position));
        return Focused::Focused;
    }
    const auto& a = std::get<Focus::Auto>(request.value);
    const std::uint32_t x = focus::point_on(frame.left, frame.right, a.x, caps.address.x);
    const std::uint32_t y = focus::point_on(frame.top, frame.bottom, a.y, caps.address.y);
    VX_DEBUG(TARGET, "focusing", diag::field("x", x), diag::field("y", y));
    auto r = autofocus(x, y, a.color);
    if (r) return Focused::Focused;
    if (r.error().is_failure<protocol::sense::Failure::OutOfFocus>()) {
        VX_WARN(TARGET, "autofocus did not reach focus", diag::field("x", x), diag::field("y", y));
        return Focused::NotReached;
    }
    return std::unexpected(std::move(r).error());
}

}  // namespace vexlor::session
