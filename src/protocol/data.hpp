// Vendor data records: data types, EXECUTE operations and the records the unit hands over.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "flags.hpp"
#include "protocol/sense.hpp"

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

// The data types of READ and SEND, in the command set's order (the position is the index).
enum class DataType {
    Image, HalftoneMask, Lut, Histogram, MaxValue, Matrix, Filter, Shading, DarkVoltage, Magnetic,
    Cooperation, Boundary, AnalogGamma, AnalogGain, DigitalGain, WhiteBalanceExposure, Setup, Perforation,
    Boundary2, ShipmentWhiteBalance, CcdData, DriverVersion, LeakVolume, RamBuffer, EepromBuffer,
};

// How a payload is cut into values; the numbers are the kinds `Values::decode` takes.
enum class ValueKind : std::uint8_t { Raw = 0, U16 = 1, U32 = 2, F32 = 3 };

constexpr std::size_t index(DataType t) { return static_cast<std::size_t>(t); }
// The wire code of the types that are read or sent (index + 125), none for the others.
std::optional<std::uint8_t> code(DataType t);
std::optional<DataType> data_type_of(std::uint8_t code);
// The kind a generic record read decodes this type as; none for the types never read or sent.
std::optional<ValueKind> value_kind(DataType t);
std::string to_string(DataType t);
inline std::string debug_string(DataType t) { return to_string(t); }

// The 6 bytes the unit puts before every record it returns.
struct Header {
    std::uint8_t code = 0;
    std::uint8_t bits = 0;
    std::uint32_t length = 0;  // payload bytes after the header

    static constexpr std::size_t size = 6;
    static std::optional<Header> from_bytes(std::span<const std::uint8_t> bytes);
    bool operator==(const Header&) const = default;
};
std::string debug_string(const Header& h);

struct Values {
    struct Raw { std::vector<std::uint8_t> values; bool operator==(const Raw&) const = default; };
    struct U16 { std::vector<std::uint16_t> values; bool operator==(const U16&) const = default; };
    struct U32 { std::vector<std::uint32_t> values; bool operator==(const U32&) const = default; };
    struct F32 { std::vector<float> values; bool operator==(const F32&) const = default; };
    std::variant<Raw, U16, U32, F32> value;

    // Kind 1 16-bit, 2 32-bit, 3 float, anything else raw; a trailing partial value is dropped.
    static Values decode(std::uint8_t kind, std::span<const std::uint8_t> payload);
    static Values decode(ValueKind kind, std::span<const std::uint8_t> payload) {
        return decode(static_cast<std::uint8_t>(kind), payload);
    }
    bool operator==(const Values&) const = default;
};
std::string debug_string(const Values& v);

// The parameter block of EXECUTE and the reply of GET PARAMETER.
struct Operation {
    std::uint8_t color = 0;
    std::uint32_t first = 0;
    std::uint32_t second = 0;

    static constexpr std::size_t size = 9;
    static std::optional<Operation> from_bytes(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, size> to_bytes() const;
    bool operator==(const Operation&) const = default;
};
std::string debug_string(const Operation& o);

struct SetupImage {
    std::uint8_t byte0 = 0;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    std::uint16_t unit_min = 0;
    std::uint16_t unit_max = 0;
    bool operator==(const SetupImage&) const = default;
};

// The setup record; kept for diagnostics only.
struct Setup {
    std::uint8_t byte2 = 0;
    std::uint16_t base_level = 0;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    std::vector<SetupImage> images;

    static std::optional<Setup> from_bytes(std::span<const std::uint8_t> payload);
    bool operator==(const Setup&) const = default;
};
std::string debug_string(const SetupImage& s);
std::string debug_string(const Setup& s);

struct PerforationInformation {
    std::uint16_t perf_number = 0;
    bool count_switching_flag = false;
    std::uint8_t perf_decimal = 0;  // 0-127
    std::uint8_t pulse_number = 0;
    bool operator==(const PerforationInformation&) const = default;
};
std::string debug_string(const PerforationInformation& p);

// The parser of the perforation table.
struct PerfInformation {
    static std::optional<std::vector<PerforationInformation>> from_bytes(std::span<const std::uint8_t> payload);
};

struct Geometry {
    std::uint16_t bytes_per_line = 0;
    std::uint16_t entire_lines = 0;
    std::uint8_t bits_per_color = 0;
    std::uint16_t lines_per_image = 0;
    std::uint8_t readings_per_line = 0;
    std::uint16_t registration_gap = 0;
    bool operator==(const Geometry&) const = default;
};
std::string debug_string(const Geometry& g);

struct Edges {
    std::uint16_t first = 0;
    std::uint16_t last = 0;
    bool operator==(const Edges&) const = default;
};
std::string debug_string(const Edges& e);

struct PositionTag {
    using Bits = std::uint16_t;
    static constexpr std::string_view name = "Position";
    static constexpr std::array<std::pair<std::string_view, Bits>, 10> names{{
        {"COLOR_FIRST", 0x1}, {"COLOR_LAST", 0x2}, {"ALL_FIRST", 0x4}, {"ALL_LAST", 0x8},
        {"INFRARED_FIRST", 0x10}, {"INFRARED_LAST", 0x20}, {"LINE_FIRST", 0x40}, {"LINE_LAST", 0x80},
        {"FRAME_FIRST", 0x100}, {"FRAME_LAST", 0x200},
    }};
};
// Where the unit puts its extra data.
using Position = Flags<PositionTag>;
namespace position {
inline constexpr Position COLOR_FIRST = Position::named("COLOR_FIRST");
inline constexpr Position COLOR_LAST = Position::named("COLOR_LAST");
inline constexpr Position ALL_FIRST = Position::named("ALL_FIRST");
inline constexpr Position ALL_LAST = Position::named("ALL_LAST");
inline constexpr Position INFRARED_FIRST = Position::named("INFRARED_FIRST");
inline constexpr Position INFRARED_LAST = Position::named("INFRARED_LAST");
inline constexpr Position LINE_FIRST = Position::named("LINE_FIRST");
inline constexpr Position LINE_LAST = Position::named("LINE_LAST");
inline constexpr Position FRAME_FIRST = Position::named("FRAME_FIRST");
inline constexpr Position FRAME_LAST = Position::named("FRAME_LAST");
}  // namespace position

struct Truncation {
    Position position;
    Edges per_color;
    Edges all_colors;
    Edges infrared_reading;
    Edges lines;
    Edges frame;
    bool operator==(const Truncation&) const = default;
};
std::string debug_string(const Truncation& t);

// What the unit hands over when it asks the host to cooperate during SCAN.
struct CooperativeAction {
    struct Geometry {
        sense::Coop coop;
        data::Geometry geometry;
        bool operator==(const Geometry&) const = default;
    };
    struct Truncate {
        Truncation truncation;
        bool operator==(const Truncate&) const = default;
    };
    struct CcdData {
        std::array<std::uint8_t, 8> bytes{};
        bool operator==(const CcdData&) const = default;
    };
    struct Unknown {
        std::uint8_t kind = 0;
        std::vector<std::uint8_t> payload;
        bool operator==(const Unknown&) const = default;
    };
    std::variant<Geometry, Truncate, CcdData, Unknown> value;

    static std::optional<CooperativeAction> from_bytes(std::span<const std::uint8_t> payload);
    bool operator==(const CooperativeAction&) const = default;
};
std::string debug_string(const CooperativeAction& a);

// A frame rectangle in unit addresses; bottom and right are exclusive here, inclusive on the wire.
struct Rect {
    std::uint32_t top = 0;
    std::uint32_t left = 0;
    std::uint32_t bottom = 0;
    std::uint32_t right = 0;
    bool operator==(const Rect&) const = default;
};
std::string debug_string(const Rect& r);

struct FramePosition {
    std::uint32_t top = 0;
    std::uint16_t perf_number = 0;
    std::uint8_t perf_decimal = 0;
    std::uint8_t pulse_number = 0;
    bool operator==(const FramePosition&) const = default;
};
std::string debug_string(const FramePosition& p);

// The frame table of units that address frames by rectangle.
struct Boundary {
    std::vector<Rect> rects;

    error::Result<std::vector<std::uint8_t>> to_bytes() const;
    // The first rectangle holding the point, in table order.
    std::optional<Rect> at(std::uint32_t x, std::uint32_t y) const;
    bool operator==(const Boundary&) const = default;
};

// The frame table of units that position film by its perforations.
struct BoundaryType2 {
    std::vector<FramePosition> positions;

    static std::optional<BoundaryType2> from_bytes(std::span<const std::uint8_t> payload);
    error::Result<std::vector<std::uint8_t>> to_bytes() const;
    // Puts one measured position in place of the entry it updates (`register` is a keyword).
    void register_position(const FramePosition& position);
    bool operator==(const BoundaryType2&) const = default;
};

struct FrameTable {
    struct Rects { Boundary table; bool operator==(const Rects&) const = default; };
    struct Positions { BoundaryType2 table; bool operator==(const Positions&) const = default; };
    std::variant<Rects, Positions> value;
    bool operator==(const FrameTable&) const = default;
};
std::string debug_string(const Boundary& b);
std::string debug_string(const BoundaryType2& b);
std::string debug_string(const FrameTable& t);

}  // namespace vexlor::protocol::data
