#include "emulator/pages.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>

namespace vexlor::emulator {

namespace caps = protocol::caps;
using protocol::model::Model;

// The values each emulated model publishes. They are ours, chosen to be plausible and consistent
// with each other (addresses in 1/optical-dpi inch; exposures in 10 ns):
//
// | model   | dpi  | sensor | X reach | Y reach | thumb dpi | lens     | rows/gap | holders (switch, 1, 2) | E3      | C8       |
// |---------|------|--------|---------|---------|-----------|----------|----------|------------------------|---------|----------|
// | LS-40   | 2900 | 3000   | 2850    | 26100   | 290-725   | 100-700  | 3/- (*)  | -, 49, -               | refused | -        |
// | LS-50   | 4000 | 4100   | 3950    | 36100   | 400-1000  | 100-800  | 3/4      | -, 50, -               | refused | -        |
// | LS-4000 | 4000 | 4100   | 3950    | 36100   | 400-1000  | 50-900   | 3/8      | -, 53, -               | 2x6 pts | -        |
// | LS-5000 | 4000 | 4100   | 3950    | 36100   | 400-1000  | 50-900   | 3/6      | 1, 49, 18              | 1x6 pts | -        |
// | LS-8000 | 4000 | 9000   | 8800    | 40000   | 250-1000  | 0-1200   | 3/12     | 1, 26, 49 (slot 1 used)| 2x8 pts | 4, 1 empty |
// | LS-9000 | 4000 | 9000   | 8800    | 40000   | 250-1000  | 0-1200   | 4/16     | -, 22, -               | 1x8 pts | 3        |
//
// (*) the LS-40 page ends after sensor_pixels, so the parser's defaults apply (gap 0, 3 rows).
// Resolutions run from 100 dpi to the optical resolution on both axes. READ units: whole line
// groups (02h) on LS-40, LS-4000, LS-5000; whole channel lines (04h) on the others. Largest READ:
// none given on LS-40, F000h, 8000h, C000h, FFFFh, FFFFh. Pitch rule 0, 1, 2, 2, 3, 3. Framing:
// 0x40 (frame table in C8) on LS-8000 and LS-9000 only; the others set an uninterpreted bit or none.
// Scan kinds, modes, interleavings, depths, analog controls, exposure limits, host cooperation,
// data-type bits and EXECUTE operations are in the table below. LS-9000 writes every flag field
// two bytes long, so positions after them move. Uninterpreted bytes carry a filler (5Ah) so a
// misplaced read shows in a round trip.

namespace {

constexpr std::uint8_t FILLER = 0x5A;

// A page under construction: header first, byte 3 filled in at the end.
class Encoder {
public:
    Encoder(std::uint8_t code, std::size_t flag_width) : flag_width_(flag_width) {
        out_ = {0x06, code, 0x00, 0x00};
    }
    Encoder& u8(std::uint8_t v) {
        out_.push_back(v);
        return *this;
    }
    Encoder& be(std::uint64_t v, std::size_t width) {
        for (std::size_t i = width; i-- > 0;) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Encoder& filler(std::size_t n) {
        out_.insert(out_.end(), n, FILLER);
        return *this;
    }
    // A flag field: little-endian bytes, bit 7 of each saying another follows. Values never use
    // bit 7 of a byte; the field is at least `flag_width` bytes long.
    Encoder& flags(std::uint64_t v) {
        std::size_t n = 1;
        for (std::size_t k = 1; k < 8; ++k) {
            if (((v >> (8 * k)) & 0x7F) != 0) n = k + 1;
        }
        n = std::max(n, flag_width_);
        for (std::size_t k = 0; k < n; ++k) {
            const auto b = static_cast<std::uint8_t>((v >> (8 * k)) & 0x7F);
            out_.push_back(k + 1 < n ? static_cast<std::uint8_t>(b | 0x80) : b);
        }
        return *this;
    }
    std::vector<std::uint8_t> finish() {
        out_[3] = static_cast<std::uint8_t>(out_.size() - 4);
        return std::move(out_);
    }

private:
    std::vector<std::uint8_t> out_;
    std::size_t flag_width_;
};

void axis(Encoder& e, const caps::address::Axis& a) {
    e.be(a.optical_dpi, 2).be(a.max_dpi, 2).be(a.min_dpi, 2).be(a.origin_max, 4).be(a.origin_min, 4).filler(4);
    e.be(a.max_extent, 4);
}

std::vector<std::uint8_t> address_page(const ModelValues& s) {
    const auto& a = s.address;
    Encoder e(0xC1, s.flag_width);
    e.flags(a.read_units).filler(4).be(a.max_transfer.value_or(0), 2).filler(3);
    e.u8(a.holder_switch.value_or(0)).u8(a.holder.value_or(0));
    e.flags(a.pitch_rule | a.framing_flags).u8(a.holder2.value_or(0));
    axis(e, a.x);
    axis(e, a.y);
    e.filler(8).be(a.thumbnail_dpi_max, 2).be(a.thumbnail_dpi_min, 2).u8(a.frames_per_holder).filler(1);
    e.be(a.focus_min, 2).be(a.focus_max, 2).filler(3).be(a.sensor_pixels, 2);
    if (s.carries_ccd_geometry) e.u8(a.line_gap).u8(a.ccd_lines);
    return e.finish();
}

std::vector<std::uint8_t> set_window_page(const ModelValues& s) {
    const auto& f = s.set_window;
    Encoder e(0xD1, s.flag_width);
    e.flags(f.kinds.bits()).flags(f.modes.bits()).flags(f.interleavings.bits()).flags(f.colors);
    e.u8(0x21).u8(0x43);  // four 4-bit codes
    e.flags(f.depths).u8(f.setup_max).filler(1).u8(s.skipped).filler(s.skipped);
    e.flags(f.analog.bits());
    const std::size_t w = s.exposure_width;
    e.u8(static_cast<std::uint8_t>(1 + 2 * w)).u8(static_cast<std::uint8_t>(w));
    e.be(f.exposure_min, w).be(f.exposure_max, w).filler(3);
    return e.finish();
}

std::vector<std::uint8_t> features_page(const ModelValues& s) {
    const auto& f = s.features;
    Encoder e(0xE1, s.flag_width);
    e.flags(f.cooperation.bits()).flags(f.data_types).filler(9);
    for (const std::uint16_t word : f.execute_ops.words) e.u8(static_cast<std::uint8_t>(word)).u8(static_cast<std::uint8_t>(word >> 8));
    e.flags(0).filler(2);
    return e.finish();
}

std::vector<std::uint8_t> frames_page(const ModelValues& s) {
    Encoder e(0xC8, s.flag_width);
    e.u8(static_cast<std::uint8_t>(s.frames->frames.size()));
    for (const auto& f : s.frames->frames) e.be(f.x, 4).be(f.y, 4).be(f.width, 4).be(f.length, 4);
    return e.finish();
}

std::vector<std::uint8_t> ccd_page(const ModelValues& s) {
    Encoder e(0xE3, s.flag_width);
    e.u8(s.ccd->channels).filler(4).u8(s.ccd->curves).u8(static_cast<std::uint8_t>(s.ccd->values.size()));
    for (const std::uint16_t v : s.ccd->values) e.be(v, 2);
    return e.finish();
}

// Bits of the features page's data-type field.
constexpr std::uint64_t bit(int b) { return std::uint64_t{1} << b; }
// READ Cooperation, READ/SEND Boundary, READ WhiteBalanceExposure, READ/SEND Setup.
constexpr std::uint64_t BASE_TYPES = bit(20) | bit(21) | bit(22) | bit(27) | bit(28) | bit(29);
constexpr std::uint64_t ANALOG_GAIN = bit(25);
constexpr std::uint64_t PERFORATION = bit(30);
constexpr std::uint64_t BOUNDARY2 = bit(32) | bit(33);
constexpr std::uint64_t CCD_DATA = bit(35);

caps::other::ExecuteOps ops(std::initializer_list<std::uint8_t> codes) {
    caps::other::ExecuteOps o;
    for (const std::uint8_t c : codes) o.words[(c >> 4) - 8] = static_cast<std::uint16_t>(o.words[(c >> 4) - 8] | (1u << (c & 15)));
    return o;
}

caps::address::Axis axis_of(std::uint16_t dpi, std::uint32_t origin_max, std::uint32_t extent) {
    return {.origin_min = 0, .origin_max = origin_max, .min_dpi = 100, .max_dpi = dpi, .max_extent = extent, .optical_dpi = dpi};
}

// Nominal levels the curves are measured at.
std::vector<std::uint16_t> points(std::size_t n) {
    if (n == 6) return {1024, 8192, 16384, 32768, 49152, 60000};
    return {512, 2048, 8192, 16384, 24576, 32768, 49152, 60000};
}

ModelValues build(Model m) {
    using namespace caps::set_window;
    using caps::other::HostCooperation;
    ModelValues s;
    s.model = m;
    auto& a = s.address;
    auto& w = s.set_window;
    auto& f = s.features;
    switch (m) {
        case Model::Ls40:
            a.x = axis_of(2900, 150, 2850), a.y = axis_of(2900, 26000, 26100);
            a.read_units = 0x02, a.holder = 49, a.frames_per_holder = 6;
            a.thumbnail_dpi_min = 290, a.thumbnail_dpi_max = 725, a.focus_min = 100, a.focus_max = 700;
            a.sensor_pixels = 3000, a.line_gap = 0, a.ccd_lines = 3;
            s.carries_ccd_geometry = false;
            w.kinds = kind::IMAGE | kind::THUMBNAIL | kind::AE;
            w.modes = mode::NORMAL_QUALITY | mode::HIGH_SPEED;
            w.interleavings = interleaving::LINE_WITHOUT_DISTANCE;
            w.colors = 0x01, w.depths = 0x0A, w.setup_max = 2, w.analog = AnalogControl::from_bits_truncate(0x02);
            w.exposure_min = 5000, w.exposure_max = 2000000, s.exposure_width = 3;
            f.data_types = BASE_TYPES;
            f.execute_ops = ops({0x80, 0xA0, 0xC1, 0xD0, 0xD1});
            break;
        case Model::Ls50:
            a.x = axis_of(4000, 150, 3950), a.y = axis_of(4000, 36000, 36100);
            a.read_units = 0x04, a.max_transfer = 0xF000, a.holder = 50, a.frames_per_holder = 6;
            a.pitch_rule = 1, a.framing_flags = 0x04;
            a.thumbnail_dpi_min = 400, a.thumbnail_dpi_max = 1000, a.focus_min = 100, a.focus_max = 800;
            a.sensor_pixels = 4100, a.line_gap = 4, a.ccd_lines = 3;
            w.kinds = kind::IMAGE | kind::THUMBNAIL | kind::AE | kind::AE_WB;
            w.modes = mode::HIGH_QUALITY | mode::NORMAL_QUALITY | mode::HIGH_SPEED;
            w.interleavings = interleaving::LINE_WITHOUT_DISTANCE | interleaving::MULTILINE_SIMULTANEOUS;
            w.colors = 0x01, w.depths = 0x1A, w.setup_max = 2, w.analog = AnalogControl::from_bits_truncate(0x06);
            w.exposure_min = 5000, w.exposure_max = 4000000, s.exposure_width = 3, s.skipped = 2;
            f.data_types = BASE_TYPES | ANALOG_GAIN;
            f.execute_ops = ops({0x80, 0x92, 0xA0, 0xC1, 0xD0, 0xD1});
            break;
        case Model::Ls4000:
        case Model::Ls5000: {
            const bool five = m == Model::Ls5000;
            a.x = axis_of(4000, 150, 3950), a.y = axis_of(4000, 36000, 36100);
            a.read_units = 0x02, a.max_transfer = five ? 0xC000 : 0x8000;
            if (five) {
                a.holder_switch = 1, a.holder = 49, a.holder2 = 18, a.frames_per_holder = 6, a.framing_flags = 0x10;
            } else {
                a.holder = 53, a.frames_per_holder = 40, a.framing_flags = 0x08;
            }
            a.pitch_rule = 2;
            a.thumbnail_dpi_min = 400, a.thumbnail_dpi_max = 1000, a.focus_min = 50, a.focus_max = 900;
            a.sensor_pixels = 4100, a.line_gap = five ? 6 : 8, a.ccd_lines = 3;
            w.kinds = ScanKind::all();
            w.modes = mode::HIGH_QUALITY | mode::NORMAL_QUALITY | mode::MULTI_READING | (five ? mode::HIGH_SPEED : ScanMode());
            w.interleavings = interleaving::LINE_WITHOUT_DISTANCE | interleaving::MULTILINE_SIMULTANEOUS;
            w.colors = 0x04, w.depths = five ? 0x22 : 0x12, w.setup_max = 3;
            w.analog = AnalogControl::from_bits_truncate(0x06);
            w.exposure_min = 2000, w.exposure_max = 8000000, s.exposure_width = 4;
            f.cooperation = caps::other::cooperation::CCD_DATA;
            f.data_types = BASE_TYPES | ANALOG_GAIN | CCD_DATA;
            f.execute_ops = five ? ops({0x80, 0x81, 0x91, 0xA0, 0xA1, 0xB0, 0xC1, 0xD0, 0xD1})
                                 : ops({0x80, 0x81, 0x91, 0xA0, 0xB0, 0xC1, 0xD0, 0xD1});
            s.ccd = caps::ccd::CcdMeasurement{points(6), 0x07, static_cast<std::uint8_t>(five ? 1 : 2)};
            break;
        }
        case Model::Ls8000:
        case Model::Ls9000: {
            const bool nine = m == Model::Ls9000;
            a.x = axis_of(4000, 200, 8800), a.y = axis_of(4000, 40000, 40000);
            a.read_units = 0x04, a.max_transfer = 0xFFFF, a.pitch_rule = 3, a.framing_flags = caps::address::PUBLISHES_FRAMES;
            if (nine) {
                a.holder = 22, a.frames_per_holder = 3;
            } else {
                a.holder_switch = 1, a.holder = 26, a.holder2 = 49, a.frames_per_holder = 4;
            }
            a.thumbnail_dpi_min = 250, a.thumbnail_dpi_max = 1000, a.focus_min = 0, a.focus_max = 1200;
            a.sensor_pixels = 9000, a.line_gap = nine ? 16 : 12, a.ccd_lines = nine ? 4 : 3;
            w.kinds = ScanKind::all();
            w.modes = mode::HIGH_QUALITY | mode::NORMAL_QUALITY | mode::MULTI_READING | mode::REVERSE_DIRECTION;
            w.interleavings = interleaving::LINE_WITHOUT_DISTANCE | interleaving::PLANE | interleaving::MULTILINE_SIMULTANEOUS;
            w.colors = 0x04, w.depths = nine ? 0x22 : 0x12, w.setup_max = 4;
            w.analog = AnalogControl::from_bits_truncate(0x26);
            w.exposure_min = 2000, w.exposure_max = 16000000, s.exposure_width = 4, s.skipped = 5;
            f.cooperation = caps::other::cooperation::MULTI_LINE | caps::other::cooperation::CCD_DATA;
            f.data_types = BASE_TYPES | ANALOG_GAIN | PERFORATION | BOUNDARY2 | CCD_DATA;
            f.execute_ops = nine ? ops({0x80, 0x81, 0x92, 0xA0, 0xA1, 0xB0, 0xC1, 0xD0, 0xD1})
                                 : ops({0x80, 0x81, 0xA0, 0xA1, 0xB0, 0xC1, 0xD0, 0xD1});
            s.ccd = caps::ccd::CcdMeasurement{points(8), static_cast<std::uint8_t>(nine ? 0x0F : 0x07),
                                              static_cast<std::uint8_t>(nine ? 1 : 2)};
            caps::frames::Frames frames;
            if (nine) {
                s.flag_width = 2;
                // 6x7 frames on the adjustable holder.
                for (std::uint32_t i = 0; i < 3; ++i) frames.frames.push_back({true, 11200, 100, 1000 + 11800 * i, 8800});
            } else {
                // 6x6 frames; the fourth slot of the holder is empty.
                for (std::uint32_t i = 0; i < 3; ++i) frames.frames.push_back({true, 8900, 100, 1200 + 9600 * i, 8800});
                frames.frames.push_back({false, 0, 0, 0, 0});
            }
            s.frames = std::move(frames);
            break;
        }
    }
    f.page_length = static_cast<std::uint8_t>(features_page(s)[3]);
    return s;
}

}  // namespace

const ModelValues& model_values(Model model) {
    static const std::array<ModelValues, 6> specs{build(Model::Ls40),   build(Model::Ls50),   build(Model::Ls4000),
                                                build(Model::Ls5000), build(Model::Ls8000), build(Model::Ls9000)};
    return specs[static_cast<std::size_t>(model)];
}

std::optional<std::vector<std::uint8_t>> page_of(const ModelValues& meant, std::uint8_t code) {
    switch (code) {
        case 0xC1: return address_page(meant);
        case 0xD1: return set_window_page(meant);
        case 0xE1: return features_page(meant);
        case 0xC8:
            if (meant.frames) return frames_page(meant);
            return std::nullopt;
        case 0xE3:
            if (meant.ccd) return ccd_page(meant);
            return std::nullopt;
        default: return std::nullopt;
    }
}

std::optional<std::vector<std::uint8_t>> vpd_page(Model model, std::uint8_t code) { return page_of(model_values(model), code); }

std::optional<std::vector<std::uint16_t>> ccd_record(Model model) { return ccd_record(model_values(model)); }

std::uint32_t ccd_gain(const ModelValues& s, std::size_t colour, std::size_t curve) {
    const int middle = static_cast<int>(s.address.ccd_lines / 2);
    return static_cast<std::uint32_t>(1000 + (static_cast<int>(colour) - middle) * 20 + static_cast<int>(curve) * 5);
}

std::optional<std::vector<std::uint16_t>> ccd_record(const ModelValues& s) {
    if (!s.ccd) return std::nullopt;
    // Each row is the nominal levels with a small gain per colour and per curve; the middle
    // colour's first curve is the reference and reads the levels unchanged.
    const std::size_t colours = s.address.ccd_lines;
    std::vector<std::uint16_t> words;
    for (std::size_t k = 0; k < colours; ++k) {
        for (std::size_t j = 0; j < s.ccd->curves; ++j) {
            const std::uint32_t gain = ccd_gain(s, k, j);
            for (const std::uint16_t v : s.ccd->values) words.push_back(static_cast<std::uint16_t>(std::uint64_t{v} * gain / 1000));
        }
    }
    return words;
}


// ---- the state a unit keeps and the records it hands over ----
//
// Power-on windows: one per CCD colour (identifiers 1, 2, 3, and 9 for a fourth row), at the
// optical resolution, over the whole X reach and 1000 addresses past the Y reach: a unit just
// powered on holds windows no pass could use, which is why staging skips them.
// Lens: at power-on in the middle of the focus range; autofocus leaves it three eighths of the
// way up the range.
// Start-up exposures (data type 8Ch): red 30000, green 25000, blue 40000, infrared 20000, any
// other channel 28000 (10 ns units), inside every model's exposure limits.
// Analog gains (8Ah): 1.0, 1.25 and 1.5 as big-endian floats (the unit keeps three, a host reads two).
// Setup (8Dh): byte2 1, base level 4095, first 1000, second 2000, one entry naming the qualifier
// with first 500, second 64 and the 0-65535 range.
// Perforation readings (8Eh): with film loaded, one per line of the last thumbnail pass, read off
// the film's perforations under that line (film.hpp); none before a thumbnail pass or without film.
// Frame positions (8Fh), with film loaded and until a host sends its own: each frame on the film
// that holds a picture, against the perforation reading at its top; none without film.

namespace {

void put_be(std::vector<std::uint8_t>& d, std::uint64_t v, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<Descriptor> power_on_windows(const ModelValues& s) {
    std::vector<std::uint8_t> ids{1, 2, 3};
    if (s.address.ccd_lines >= 4) ids.push_back(9);
    std::vector<Descriptor> out;
    for (const std::uint8_t id : ids) {
        std::vector<std::uint8_t> d{id, 0};
        put_be(d, s.address.x.optical_dpi, 2);
        put_be(d, s.address.y.optical_dpi, 2);
        put_be(d, 0, 4);
        put_be(d, 0, 4);
        put_be(d, s.address.x.max_extent, 4);
        put_be(d, s.address.y.max_extent + 1000, 4);
        d.insert(d.end(), {0, 0, 0, 2, 8});  // brightness, threshold, contrast, gray multilevel, 8 bits
        d.resize(42, 0);
        d.insert(d.end(), {0x01, 0x02, 0x01, 0x00});  // image, normal quality, line order
        put_be(d, white_balance_exposure(id), 4);
        Descriptor w{};
        std::copy(d.begin(), d.end(), w.begin());
        out.push_back(w);
    }
    return out;
}

std::uint32_t power_on_focus(const ModelValues& s) { return (std::uint32_t{s.address.focus_min} + s.address.focus_max) / 2; }

std::uint32_t found_focus(const ModelValues& s) {
    return s.address.focus_min + (std::uint32_t{s.address.focus_max} - s.address.focus_min) * 3 / 8;
}

std::uint32_t white_balance_exposure(std::uint8_t id) {
    switch (id) {
        case 1: return 30000;
        case 2: return 25000;
        case 3: return 40000;
        case 9: return 20000;
        default: return 28000;
    }
}

std::vector<std::uint8_t> analog_gain_record() {
    std::vector<std::uint8_t> d;
    for (const float g : {1.0f, 1.25f, 1.5f}) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &g, sizeof bits);
        put_be(d, bits, 4);
    }
    return d;
}

std::vector<std::uint8_t> setup_record(const ModelValues&, std::uint8_t id) {
    std::vector<std::uint8_t> d{0, 0, 1};
    put_be(d, 4095, 2);
    put_be(d, 1000, 4);
    put_be(d, 2000, 4);
    d.push_back(1);
    d.push_back(id);
    put_be(d, 500, 4);
    put_be(d, 64, 4);
    put_be(d, 0, 2);
    put_be(d, 65535, 2);
    return d;
}

std::vector<std::uint8_t> perforation_record(std::span<const protocol::data::PerforationInformation> readings) {
    std::vector<std::uint8_t> d;
    put_be(d, 1 + 4 * readings.size(), 3);
    d.push_back(4);
    for (const auto& r : readings) {
        put_be(d, r.perf_number, 2);
        d.push_back(static_cast<std::uint8_t>((r.count_switching_flag ? 0x80 : 0x00) | (r.perf_decimal & 0x7F)));
        d.push_back(r.pulse_number);
    }
    return d;
}

std::vector<std::uint8_t> positions_record(std::span<const protocol::data::FramePosition> positions) {
    const std::size_t n = std::min<std::size_t>(positions.size(), 255);
    std::vector<std::uint8_t> d;
    put_be(d, 8 * n + 2, 2);
    d.push_back(static_cast<std::uint8_t>(n));
    d.push_back(0);
    for (std::size_t i = 0; i < n; ++i) {
        put_be(d, positions[i].top, 4);
        put_be(d, positions[i].perf_number, 2);
        d.push_back(positions[i].perf_decimal);
        d.push_back(positions[i].pulse_number);
    }
    return d;
}

}  // namespace vexlor::emulator
