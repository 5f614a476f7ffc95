#include "protocol/data.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <type_traits>
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

std::expected<Header, bytes::Short> header(const bytes::Reader& r) {
    Header h;
    VX_TRY(h.code, r.u8(0));
    VX_TRY(h.bits, r.u8(1));
    VX_TRY(h.length, r.be32(2));
    return h;
}

// Every whole big-endian value of the type's width, in order; a trailing partial value is dropped.
template <class T>
std::vector<T> cut(std::span<const std::uint8_t> payload) {
    const bytes::Reader r(payload);
    std::vector<T> out;
    out.reserve(payload.size() / sizeof(T));
    for (std::size_t at = 0;; at += sizeof(T)) {
        const auto v = r.be(at, sizeof(T));
        if (!v) return out;
        if constexpr (std::is_same_v<T, float>) {
            out.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(*v)));
        } else {
            out.push_back(static_cast<T>(*v));
        }
    }
}

std::expected<Operation, bytes::Short> operation(const bytes::Reader& r) {
    Operation o;
    VX_TRY(o.color, r.u8(0));
    VX_TRY(o.first, r.be32(1));
    VX_TRY(o.second, r.be32(5));
    return o;
}

std::expected<Setup, bytes::Short> setup(const bytes::Reader& r) {
    Setup s;
    VX_TRY(s.byte2, r.u8(2));
    VX_TRY(s.base_level, r.be16(3));
    VX_TRY(s.first, r.be32(5));
    VX_TRY(s.second, r.be32(9));
    VX_TRY(const std::size_t n, r.u8(13));
    VX_CHECK(r.bytes(14, 13 * n));  // every entry, before any is kept
    s.images.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t e = 14 + 13 * i;
        SetupImage image;
        VX_TRY(image.byte0, r.u8(e));
        VX_TRY(image.first, r.be32(e + 1));
        VX_TRY(image.second, r.be32(e + 5));
        VX_TRY(image.unit_min, r.be16(e + 9));
        VX_TRY(image.unit_max, r.be16(e + 11));
        s.images.push_back(image);
    }
    return s;
}

std::expected<std::vector<PerforationInformation>, bytes::Short> perforations(const bytes::Reader& r, std::size_t n) {
    VX_CHECK(r.bytes(4, 4 * n));  // every entry, before any is kept
    std::vector<PerforationInformation> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t e = 4 + 4 * i;
        PerforationInformation p;
        VX_TRY(p.perf_number, r.be16(e));
        VX_TRY(const std::uint8_t decimal, r.u8(e + 2));
        p.count_switching_flag = (decimal & 0x80) != 0;
        p.perf_decimal = static_cast<std::uint8_t>(decimal & 0x7F);
        VX_TRY(p.pulse_number, r.u8(e + 3));
        out.push_back(p);
    }
    return out;
}

std::expected<Edges, bytes::Short> edges(const bytes::Reader& r, std::size_t at) {
    Edges e;
    VX_TRY(e.first, r.be16(at));
    VX_TRY(e.last, r.be16(at + 2));
    return e;
}

// The actions of the known kinds; each runs short exactly where its least length ends.
std::expected<CooperativeAction, bytes::Short> geometry_action(const bytes::Reader& r, sense::Coop coop) {
    Geometry g;
    VX_TRY(g.bytes_per_line, r.be16(5));
    VX_TRY(g.entire_lines, r.be16(7));
    VX_TRY(g.bits_per_color, r.u8(9));
    VX_TRY(g.lines_per_image, r.be16(10));
    VX_TRY(g.readings_per_line, r.u8(12));
    VX_TRY(g.registration_gap, r.be16(13));
    return CooperativeAction{CooperativeAction::Geometry{coop, g}};
}

std::expected<CooperativeAction, bytes::Short> truncate_action(const bytes::Reader& r) {
    Truncation t;
    // Low byte first, unlike the other fields; the unnamed bits of byte 6 are dropped.
    VX_TRY(const std::uint8_t low, r.u8(5));
    VX_TRY(const std::uint8_t high, r.u8(6));
    t.position = Position::from_bits_truncate(low | (high << 8));
    VX_TRY(t.per_color, edges(r, 7));
    VX_TRY(t.all_colors, edges(r, 11));
    VX_TRY(t.infrared_reading, edges(r, 15));
    VX_TRY(t.lines, edges(r, 19));
    VX_TRY(t.frame, edges(r, 23));
    return CooperativeAction{CooperativeAction::Truncate{t}};
}

std::expected<CooperativeAction, bytes::Short> ccd_action(const bytes::Reader& r) {
    VX_TRY(const auto b, r.bytes(5, 8));
    CooperativeAction::CcdData c;
    std::copy(b.begin(), b.end(), c.bytes.begin());
    return CooperativeAction{c};
}

std::expected<FramePosition, bytes::Short> frame_position(const bytes::Reader& r, std::size_t e) {
    FramePosition p;
    VX_TRY(p.top, r.be32(e));
    VX_TRY(p.perf_number, r.be16(e + 4));
    VX_TRY(p.perf_decimal, r.u8(e + 6));
    VX_TRY(p.pulse_number, r.u8(e + 7));
    return p;
}

std::expected<BoundaryType2, bytes::Short> boundary_type2(const bytes::Reader& r, std::size_t n) {
    VX_CHECK(r.bytes(0, 4 + 8 * n));  // the whole table, byte 3 included though it is not read
    BoundaryType2 t;
    t.positions.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        VX_TRY(const FramePosition p, frame_position(r, 4 + 8 * i));
        t.positions.push_back(p);
    }
    return t;
}

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

std::optional<Header> Header::from_bytes(std::span<const std::uint8_t> b) { return bytes::whole(header(bytes::Reader(b))); }

std::string debug_string(const Header& h) {
    return fmt::format("Header {{ code: {}, bits: {}, length: {} }}", h.code, h.bits, h.length);
}

Values Values::decode(std::uint8_t kind, std::span<const std::uint8_t> p) {
    switch (kind) {
        case 1: return Values{U16{cut<std::uint16_t>(p)}};
        case 2: return Values{U32{cut<std::uint32_t>(p)}};
        case 3: return Values{F32{cut<float>(p)}};
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
    return bytes::whole(operation(bytes::Reader(b)));
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

std::optional<Setup> Setup::from_bytes(std::span<const std::uint8_t> p) { return bytes::whole(setup(bytes::Reader(p))); }

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
    const bytes::Reader r(p);
    const auto length = r.be24(0);
    const auto entry_size = r.u8(3);
    if (!entry_size || *entry_size != 4) return std::nullopt;
    // L counts the entry-size byte and the entries after it.
    const std::size_t l = *length;
    if (l == 0 || l % 4 != 1) return std::nullopt;
    return bytes::whole(perforations(r, (l - 1) / 4));
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
    const bytes::Reader r(p);
    const auto kind = r.u8(0);
    if (!kind) return std::nullopt;
    const auto known = [&]() -> std::optional<CooperativeAction> {
        switch (*kind) {
            case 1: return bytes::whole(geometry_action(r, {sense::Coop::Thumbnail{}}));
            case 2: return bytes::whole(geometry_action(r, {sense::Coop::Averaging{}}));
            case 4: return bytes::whole(geometry_action(r, {sense::Coop::MultiLineRegistration{}}));
            case 6: return bytes::whole(truncate_action(r));
            case 7: return bytes::whole(ccd_action(r));
            default: return std::nullopt;
        }
    }();
    if (known) return *known;
    return CooperativeAction{Unknown{*kind, std::vector<std::uint8_t>(p.begin(), p.end())}};
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
    const bytes::Reader r(p);
    const auto length = r.be16(0);
    const auto count = r.u8(2);
    // The length leaves out its own two bytes: 8 for each position and 2 for the count and byte 3.
    if (!count || *length != 8 * std::size_t{*count} + 2) return std::nullopt;
    return bytes::whole(boundary_type2(r, *count));
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
