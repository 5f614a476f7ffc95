#include "protocol/data.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "bytes.hpp"
#include "text.hpp"
#include "try.hpp"

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

namespace {

constexpr std::array<std::string_view, 25> type_names{
    "Image", "HalftoneMask", "Lut", "Histogram", "MaxValue", "Matrix", "Filter", "Shading", "DarkVoltage",
    "Magnetic", "Cooperation", "Boundary", "AnalogGamma", "AnalogGain", "DigitalGain", "WhiteBalanceExposure",
    "Setup", "Perforation", "Boundary2", "ShipmentWhiteBalance", "CcdData", "DriverVersion", "LeakVolume",
    "RamBuffer", "EepromBuffer",
};

// Value kinds of the read or sent types, from Cooperation (index 10) to CcdData (index 20).
constexpr std::array<ValueKind, 11> used_kinds{
    ValueKind::Raw, ValueKind::U32, ValueKind::U16, ValueKind::F32, ValueKind::U16, ValueKind::U32,
    ValueKind::Raw, ValueKind::U16, ValueKind::U16, ValueKind::U16, ValueKind::U16,
};
constexpr std::size_t first_used = 10;

std::string edges_fields(const Edges& e) { return fmt::format("first: {}, last: {}", e.first, e.last); }

}  // namespace

std::optional<std::uint8_t> code(DataType t) {
    const std::size_t i = index(t);
    if (i < first_used || i >= first_used + used_kinds.size()) return std::nullopt;
    return static_cast<std::uint8_t>(i + 125);
}

std::optional<DataType> data_type_of(std::uint8_t c) {
    if (c < first_used + 125 || c >= first_used + 125 + used_kinds.size()) return std::nullopt;
    return static_cast<DataType>(c - 125);
}

std::optional<ValueKind> value_kind(DataType t) {
    const std::size_t i = index(t);
    if (i < first_used || i >= first_used + used_kinds.size()) return std::nullopt;
    return used_kinds[i - first_used];
}

std::string to_string(DataType t) { return std::string(type_names[index(t)]); }

std::optional<Header> Header::from_bytes(std::span<const std::uint8_t> b) {
    if (b.size() < size) return std::nullopt;
    return Header{b[0], b[1], bytes::be32(b.data() + 2)};
}

std::string debug_string(const Header& h) {
    return fmt::format("Header {{ code: {}, bits: {}, length: {} }}", h.code, h.bits, h.length);
}

Values Values::decode(std::uint8_t kind, std::span<const std::uint8_t> p) {
    switch (kind) {
        case 1: {
            U16 v;
            v.values.reserve(p.size() / 2);
            for (std::size_t i = 0; i + 2 <= p.size(); i += 2) v.values.push_back(bytes::be16(p.data() + i));
            return Values{std::move(v)};
        }
        case 2: {
            U32 v;
            v.values.reserve(p.size() / 4);
            for (std::size_t i = 0; i + 4 <= p.size(); i += 4) v.values.push_back(bytes::be32(p.data() + i));
            return Values{std::move(v)};
        }
        case 3: {
            F32 v;
            v.values.reserve(p.size() / 4);
            for (std::size_t i = 0; i + 4 <= p.size(); i += 4) {
                std::uint32_t bits = bytes::be32(p.data() + i);
                float f;
                static_assert(sizeof f == sizeof bits);
                std::memcpy(&f, &bits, sizeof f);
                v.values.push_back(f);
            }
            return Values{std::move(v)};
        }
        default: return Values{Raw{std::vector<std::uint8_t>(p.begin(), p.end())}};
    }
}

std::string debug_string(const Values& v) {
    struct Visit {
        std::string operator()(const Values::Raw& r) const { return "Raw(" + text::dec_list(r.values) + ")"; }
        std::string operator()(const Values::U16& r) const { return fmt::format("U16([{}])", fmt::join(r.values, ", ")); }
        std::string operator()(const Values::U32& r) const { return fmt::format("U32([{}])", fmt::join(r.values, ", ")); }
        std::string operator()(const Values::F32& r) const { return fmt::format("F32([{}])", fmt::join(r.values, ", ")); }
    };
    return std::visit(Visit{}, v.value);
}

std::optional<Operation> Operation::from_bytes(std::span<const std::uint8_t> b) {
    if (b.size() < size) return std::nullopt;
    return Operation{b[0], bytes::be32(b.data() + 1), bytes::be32(b.data() + 5)};
}

std::array<std::uint8_t, Operation::size> Operation::to_bytes() const {
    std::array<std::uint8_t, size> out{};
    out[0] = color;
    bytes::put_be32(out, 1, first);
    bytes::put_be32(out, 5, second);
    return out;
}

std::string debug_string(const Operation& o) {
    return fmt::format("Operation {{ color: {}, first: {}, second: {} }}", o.color, o.first, o.second);
}

std::optional<Setup> Setup::from_bytes(std::span<const std::uint8_t> p) {
    if (p.size() < 14) return std::nullopt;
    const std::size_t n = p[13];
    if ((p.size() - 14) / 13 < n) return std::nullopt;
    Setup s;
    s.byte2 = p[2];
    s.base_level = bytes::be16(p.data() + 3);
    s.first = bytes::be32(p.data() + 5);
    s.second = bytes::be32(p.data() + 9);
    s.images.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* e = p.data() + 14 + 13 * i;
        s.images.push_back({e[0], bytes::be32(e + 1), bytes::be32(e + 5), bytes::be16(e + 9), bytes::be16(e + 11)});
    }
    return s;
}

std::string debug_string(const SetupImage& s) {
    return fmt::format("SetupImage {{ byte0: {}, first: {}, second: {}, unit_min: {}, unit_max: {} }}", s.byte0, s.first,
                       s.second, s.unit_min, s.unit_max);
}

std::string debug_string(const Setup& s) {
    std::vector<std::string> images;
    for (const auto& i : s.images) images.push_back(debug_string(i));
    return fmt::format("Setup {{ byte2: {}, base_level: {}, first: {}, second: {}, images: [{}] }}", s.byte2, s.base_level,
                       s.first, s.second, fmt::join(images, ", "));
}

std::string debug_string(const PerforationInformation& p) {
    return fmt::format("PerforationInformation {{ perf_number: {}, count_switching_flag: {}, perf_decimal: {}, pulse_number: {} }}",
                       p.perf_number, p.count_switching_flag, p.perf_decimal, p.pulse_number);
}

std::optional<std::vector<PerforationInformation>> PerfInformation::from_bytes(std::span<const std::uint8_t> p) {
    if (p.size() <= 3 || p[3] != 4) return std::nullopt;
    const std::size_t l = (std::size_t{p[0]} << 16) | (std::size_t{p[1]} << 8) | p[2];
    if (l == 0 || p.size() < l + 3 || l % 4 != 1) return std::nullopt;
    std::vector<PerforationInformation> out;
    const std::size_t n = (l - 1) / 4;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* e = p.data() + 4 + 4 * i;
        out.push_back({bytes::be16(e), (e[2] & 0x80) != 0, static_cast<std::uint8_t>(e[2] & 0x7F), e[3]});
    }
    return out;
}

std::string debug_string(const Geometry& g) {
    return fmt::format("Geometry {{ bytes_per_line: {}, entire_lines: {}, bits_per_color: {}, lines_per_image: {}, "
                       "readings_per_line: {}, registration_gap: {} }}",
                       g.bytes_per_line, g.entire_lines, g.bits_per_color, g.lines_per_image, g.readings_per_line,
                       g.registration_gap);
}

std::string debug_string(const Edges& e) { return "Edges { " + edges_fields(e) + " }"; }

std::string debug_string(const Truncation& t) {
    return fmt::format("Truncation {{ position: {}, per_color: {}, all_colors: {}, infrared_reading: {}, lines: {}, frame: {} }}",
                       vexlor::debug_string(t.position), debug_string(t.per_color), debug_string(t.all_colors),
                       debug_string(t.infrared_reading), debug_string(t.lines), debug_string(t.frame));
}

std::optional<CooperativeAction> CooperativeAction::from_bytes(std::span<const std::uint8_t> p) {
    if (p.empty()) return std::nullopt;
    const std::uint8_t kind = p[0];
    const std::uint8_t* b = p.data();
    auto edges = [b](std::size_t at) { return Edges{bytes::be16(b + at), bytes::be16(b + at + 2)}; };
    switch (kind) {
        case 1:
        case 2:
        case 4:
            if (p.size() >= 15) {
                sense::Coop coop = kind == 1   ? sense::Coop{sense::Coop::Thumbnail{}}
                                   : kind == 2 ? sense::Coop{sense::Coop::Averaging{}}
                                               : sense::Coop{sense::Coop::MultiLineRegistration{}};
                data::Geometry g{bytes::be16(b + 5), bytes::be16(b + 7), b[9], bytes::be16(b + 10), b[12], bytes::be16(b + 13)};
                return CooperativeAction{Geometry{coop, g}};
            }
            break;
        case 6:
            if (p.size() >= 27) {
                Truncation t;
                t.position = Position::from_bits_truncate(b[5] | (b[6] << 8));
                t.per_color = edges(7);
                t.all_colors = edges(11);
                t.infrared_reading = edges(15);
                t.lines = edges(19);
                t.frame = edges(23);
                return CooperativeAction{Truncate{t}};
            }
            break;
        case 7:
            if (p.size() >= 13) {
                CcdData c;
                std::copy(b + 5, b + 13, c.bytes.begin());
                return CooperativeAction{c};
            }
            break;
        default: break;
    }
    return CooperativeAction{Unknown{kind, std::vector<std::uint8_t>(p.begin(), p.end())}};
}

std::string debug_string(const CooperativeAction& a) {
    struct Visit {
        std::string operator()(const CooperativeAction::Geometry& g) const {
            return "Geometry(" + sense::debug_string(g.coop) + ", " + debug_string(g.geometry) + ")";
        }
        std::string operator()(const CooperativeAction::Truncate& t) const { return "Truncate(" + debug_string(t.truncation) + ")"; }
        std::string operator()(const CooperativeAction::CcdData& c) const { return "CcdData(" + text::dec_list(c.bytes) + ")"; }
        std::string operator()(const CooperativeAction::Unknown& u) const {
            return fmt::format("Unknown({}, {})", u.kind, text::dec_list(u.payload));
        }
    };
    return std::visit(Visit{}, a.value);
}

// Frame tables.

std::string debug_string(const Rect& r) {
    return fmt::format("Rect {{ top: {}, left: {}, bottom: {}, right: {} }}", r.top, r.left, r.bottom, r.right);
}

std::string debug_string(const FramePosition& p) {
    return fmt::format("FramePosition {{ top: {}, perf_number: {}, perf_decimal: {}, pulse_number: {} }}", p.top,
                       p.perf_number, p.perf_decimal, p.pulse_number);
}

namespace {

error::Result<void> check_count(std::size_t n, std::string_view label) {
    if (n == 0) return std::unexpected(error::Error::unsupported("frame table", "no frames were measured, so there is no table to send"));
    if (n >= 256) {
        return std::unexpected(error::Error::unsupported(std::string(label), fmt::format("{} frames cannot fit the one-byte count field", n)));
    }
    return {};
}

// The wire form is inclusive; an exclusive 0 has no inclusive form and stays 0.
std::uint32_t inclusive(std::uint32_t v) { return v == 0 ? 0 : v - 1; }

}  // namespace

error::Result<std::vector<std::uint8_t>> Boundary::to_bytes() const {
    VX_CHECK(check_count(rects.size(), "boundary"));
    std::vector<std::uint8_t> out;
    out.reserve(16 * rects.size() + 4);
    bytes::Writer w(out);
    w.be16(static_cast<std::uint16_t>(16 * rects.size() + 4)).u8(static_cast<std::uint8_t>(rects.size())).u8(0);
    for (const auto& r : rects) w.be32(r.top).be32(r.left).be32(inclusive(r.bottom)).be32(inclusive(r.right));
    return out;
}

std::optional<Rect> Boundary::at(std::uint32_t x, std::uint32_t y) const {
    for (const auto& r : rects) {
        if (r.left <= x && x < r.right && r.top <= y && y < r.bottom) return r;
    }
    return std::nullopt;
}

std::optional<BoundaryType2> BoundaryType2::from_bytes(std::span<const std::uint8_t> p) {
    if (p.size() <= 3) return std::nullopt;
    const std::size_t l = bytes::be16(p.data());
    const std::size_t n = p[2];
    if (p.size() < l + 2 || l != 8 * n + 2) return std::nullopt;
    BoundaryType2 t;
    t.positions.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* e = p.data() + 4 + 8 * i;
        t.positions.push_back({bytes::be32(e), bytes::be16(e + 4), e[6], e[7]});
    }
    return t;
}

error::Result<std::vector<std::uint8_t>> BoundaryType2::to_bytes() const {
    VX_CHECK(check_count(positions.size(), "boundary_type2"));
    std::vector<std::uint8_t> out;
    out.reserve(8 * positions.size() + 4);
    bytes::Writer w(out);
    w.be16(static_cast<std::uint16_t>(8 * positions.size() + 2)).u8(static_cast<std::uint8_t>(positions.size())).u8(0);
    for (const auto& p : positions) w.be32(p.top).be16(p.perf_number).u8(p.perf_decimal).u8(p.pulse_number);
    return out;
}

void BoundaryType2::register_position(const FramePosition& position) {
    if (positions.empty()) {
        positions.push_back(position);
        return;
    }
    for (std::size_t i = positions.size(); i-- > 0;) {
        if (positions[i].top <= position.top) {
            positions[i] = position;
            return;
        }
    }
    positions.front() = position;
}

std::string debug_string(const Boundary& b) {
    std::vector<std::string> items;
    for (const auto& r : b.rects) items.push_back(debug_string(r));
    return fmt::format("Boundary([{}])", fmt::join(items, ", "));
}

std::string debug_string(const BoundaryType2& b) {
    std::vector<std::string> items;
    for (const auto& p : b.positions) items.push_back(debug_string(p));
    return fmt::format("BoundaryType2([{}])", fmt::join(items, ", "));
}

std::string debug_string(const FrameTable& t) {
    if (const auto* r = std::get_if<FrameTable::Rects>(&t.value)) return "Rects(" + debug_string(r->table) + ")";
    return "Positions(" + debug_string(std::get<FrameTable::Positions>(t.value).table) + ")";
}

}  // namespace vexlor::protocol::data
