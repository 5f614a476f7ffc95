#include "protocol/data.hpp"

#include <array>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace vexlor::protocol::data {

namespace {

struct OpRow {
    Op::Kind kind;
    std::uint8_t code;
    std::string_view name;
};

constexpr std::array<OpRow, 10> op_table{{
    {Op::Kind::Initialize, 0x80, "Initialize"},
    {Op::Kind::ReturnToOrigin, 0x81, "ReturnToOrigin"},
    {Op::Kind::AutoAf, 0x91, "AutoAf"},
    {Op::Kind::AutoCalibration, 0x92, "AutoCalibration"},
    {Op::Kind::AutoFocus, 0xA0, "AutoFocus"},
    {Op::Kind::ColorAutoFocus, 0xA1, "ColorAutoFocus"},
    {Op::Kind::SetupShading, 0xB0, "SetupShading"},
    {Op::Kind::FocusMove, 0xC1, "FocusMove"},
    {Op::Kind::Unload, 0xD0, "Unload"},
    {Op::Kind::Load, 0xD1, "Load"},
}};

}  // namespace

Op Op::of(Kind kind) {
    for (const auto& r : op_table) {
        if (r.kind == kind) return Op(r.code);
    }
    return Op(0);
}

Op::Kind Op::kind() const {
    for (const auto& r : op_table) {
        if (r.code == code_) return r.kind;
    }
    return Kind::Other;
}

std::string debug_string(Op op) {
    for (const auto& r : op_table) {
        if (r.code == op.code()) return std::string(r.name);
    }
    return fmt::format("Other({})", op.code());
}

}  // namespace vexlor::protocol::data
