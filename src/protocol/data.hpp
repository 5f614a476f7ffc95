// Vendor data records: data types, EXECUTE operations and the records the unit hands over.
#pragma once

#include <cstdint>
#include <string>

namespace vexlor::protocol::data {

// An EXECUTE operation code; codes without a name are kept as Other.
class Op {
public:
    enum class Kind { Initialize, ReturnToOrigin, AutoAf, AutoCalibration, AutoFocus, ColorAutoFocus, SetupShading, FocusMove, Unload, Load, Other };

    constexpr explicit Op(std::uint8_t code) : code_(code) {}
    static Op of(Kind kind);  // not for Other

    constexpr std::uint8_t code() const { return code_; }
    Kind kind() const;
    constexpr bool operator==(const Op&) const = default;

private:
    std::uint8_t code_;
};

std::string debug_string(Op op);

}  // namespace vexlor::protocol::data
