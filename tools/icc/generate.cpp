// Builds the module's ICC input profiles with Little CMS and writes them as a C++ source of
// read-only byte arrays. Each profile characterises the unit's linear CCD readings of one film
// type: a colour film gets a Lab lookup table behind per-channel linearisation curves, with the
// unit's own matrix and curves besides; monochrome film gets a matrix and curves into XYZ.
// Every slot has a fixed byte size, reached by choosing the curve table lengths and padding the
// description.
#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

enum class Film { Positive, Negative, Kodachrome, Mono };
constexpr std::array<const char*, 4> FILM_NAMES{"positive", "negative", "kodachrome", "mono"};

// One set of profiles per group of units that share optics and sensor.
struct Unit {
    const char* name;
    const char* models;
    std::size_t colour_size;
    bool mono;
    // Chromaticities of the sensor's red, green and blue filters.
    std::array<std::array<double, 2>, 3> primaries;
    std::array<double, 3> gains;  // channel balance left after the unit's calibration
    double flare;                 // stray light as a fraction of full scale
};

constexpr std::size_t MONO_SIZE = 8636;

const std::array<Unit, 4> UNITS{{
    {"small1", "LS-40, LS-4000", 223276, false, {{{0.6812, 0.3105}, {0.2164, 0.7018}, {0.1473, 0.0562}}}, {1.000, 0.992, 1.011}, 0.0040},
    {"small2", "LS-50, LS-5000", 223268, true, {{{0.6847, 0.3079}, {0.2131, 0.7066}, {0.1459, 0.0531}}}, {1.000, 0.996, 1.007}, 0.0032},
    {"medium1", "LS-8000", 223268, false, {{{0.6779, 0.3136}, {0.2195, 0.6971}, {0.1488, 0.0590}}}, {1.000, 0.988, 1.016}, 0.0047},
    {"medium2", "LS-9000", 223268, true, {{{0.6831, 0.3094}, {0.2150, 0.7040}, {0.1466, 0.0548}}}, {1.000, 0.994, 1.009}, 0.0036},
}};

constexpr int GRID = 33;
constexpr double ENCODING_GAMMA = 2.4;  // the lookup table's grid is spaced evenly in this power

using Matrix = std::array<std::array<double, 3>, 3>;
using Vec = std::array<double, 3>;

Vec mul(const Matrix& m, const Vec& v) {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

Matrix inverse(const Matrix& m) {
    const double a = m[0][0], b = m[0][1], c = m[0][2], d = m[1][0], e = m[1][1], f = m[1][2], g = m[2][0], h = m[2][1],
                 i = m[2][2];
    const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    return {{{(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det},
             {(f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det},
             {(d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det}}};
}

// Sensor RGB to XYZ under D50: the columns are the filters' colorants, scaled so that equal
// readings are neutral.
Matrix sensor_to_xyz(const Unit& u) {
    Matrix p;
    for (int k = 0; k < 3; ++k) {
        const double x = u.primaries[k][0], y = u.primaries[k][1];
        p[0][k] = x / y;
        p[1][k] = 1.0;
        p[2][k] = (1.0 - x - y) / y;
    }
    const cmsCIEXYZ* w = cmsD50_XYZ();
    const Vec s = mul(inverse(p), {w->X, w->Y, w->Z});
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) p[r][k] *= s[k];
    }
    return p;
}

// How the film's dyes overlap as the sensor sees them; the profile undoes it.
Matrix crosstalk(Film film, const Unit& u) {
    const double t = u.flare * 4;  // units differ a little in how much the dyes bleed into each channel
    switch (film) {
        case Film::Positive:
            return {{{1.0, 0.06 + t, 0.02}, {0.09, 1.0, 0.07 + t}, {0.03, 0.12, 1.0}}};
        case Film::Kodachrome:
            return {{{1.0, 0.10 + t, 0.05}, {0.13, 1.0, 0.04 + t}, {0.02, 0.19, 1.0}}};
        case Film::Negative:
            return {{{1.0, 0.04 + t, 0.01}, {0.07, 1.0, 0.05 + t}, {0.02, 0.09, 1.0}}};
        case Film::Mono:
            break;
    }
    return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
}

// A linear reading (0 to 1) as the relative scene light, per channel, before the crosstalk.
double linearise(Film film, const Unit& u, int channel, double t) {
    t = std::clamp((t - u.flare) / (1.0 - u.flare), 0.0, 1.0) * u.gains[channel];
    switch (film) {
        case Film::Positive:
            // Slide film is viewed as it is: a gentle shoulder keeps highlights apart.
            return std::min(1.0, std::pow(t, 1.03) * 1.01);
        case Film::Kodachrome:
            return std::min(1.0, std::pow(t, 1.08) * 1.02);
        case Film::Negative: {
            // Densities above the orange base, read through each layer's contrast.
            static constexpr std::array<double, 3> base{0.22, 0.58, 0.86};
            static constexpr std::array<double, 3> gamma{0.62, 0.60, 0.57};
            constexpr double range = 1.9;
            const double density = -std::log10(std::max(t, 1e-5)) - base[channel];
            const double d = std::clamp(range - std::max(density, 0.0), 0.0, range);
            return std::clamp(std::pow(10.0, (d - range) / gamma[channel]) * 1.0, 0.0, 1.0);
        }
        case Film::Mono:
            break;
    }
    return t;
}

cmsToneCurve* table_curve(std::size_t n, auto f) {
    std::vector<cmsUInt16Number> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double y = std::clamp(f(static_cast<double>(i) / static_cast<double>(n - 1)), 0.0, 1.0);
        v[i] = static_cast<cmsUInt16Number>(std::lround(y * 65535.0));
    }
    return cmsBuildTabulatedToneCurve16(nullptr, static_cast<cmsUInt32Number>(n), v.data());
}

struct Text {
    std::string description;
    std::string copyright = "No copyright, use freely";
};

void write_text(cmsHPROFILE h, cmsTagSignature sig, const std::string& s) {
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(mlu, "en", "US", s.c_str());
    cmsWriteTag(h, sig, mlu);
    cmsMLUfree(mlu);
}

void write_xyz(cmsHPROFILE h, cmsTagSignature sig, double x, double y, double z) {
    const cmsCIEXYZ v{x, y, z};
    cmsWriteTag(h, sig, &v);
}

// The unit's colorants and its linear response with flare, for readers that skip the table.
void write_shaper(cmsHPROFILE h, const Unit& u, const Matrix& m, std::size_t entries, const std::array<double, 3>& shape) {
    write_xyz(h, cmsSigRedColorantTag, m[0][0], m[1][0], m[2][0]);
    write_xyz(h, cmsSigGreenColorantTag, m[0][1], m[1][1], m[2][1]);
    write_xyz(h, cmsSigBlueColorantTag, m[0][2], m[1][2], m[2][2]);
    const std::array<cmsTagSignature, 3> trc{cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (int c = 0; c < 3; ++c) {
        cmsToneCurve* curve = table_curve(entries, [&](double t) {
            return std::pow(std::clamp((t - u.flare) / (1.0 - u.flare), 0.0, 1.0) * u.gains[c], shape[c]);
        });
        cmsWriteTag(h, trc[c], curve);
        cmsFreeToneCurve(curve);
    }
}

cmsHPROFILE start(double version, cmsColorSpaceSignature pcs, const Text& text) {
    cmsHPROFILE h = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(h, version);
    cmsSetDeviceClass(h, cmsSigInputClass);
    cmsSetColorSpace(h, cmsSigRgbData);
    cmsSetPCS(h, pcs);
    cmsSetHeaderRenderingIntent(h, INTENT_PERCEPTUAL);
    write_text(h, cmsSigProfileDescriptionTag, text.description);
    write_text(h, cmsSigCopyrightTag, text.copyright);
    const cmsCIEXYZ* w = cmsD50_XYZ();
    write_xyz(h, cmsSigMediaWhitePointTag, w->X, w->Y, w->Z);
    return h;
}

std::vector<std::uint8_t> save(cmsHPROFILE h) {
    cmsUInt32Number n = 0;
    if (!cmsSaveProfileToMem(h, nullptr, &n)) return {};
    std::vector<std::uint8_t> out(n);
    if (!cmsSaveProfileToMem(h, out.data(), &n)) return {};
    out.resize(n);
    // A fixed creation date, so that every build writes the same bytes.
    static constexpr std::array<std::uint8_t, 12> date{0x07, 0xEA, 0x00, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
    std::copy(date.begin(), date.end(), out.begin() + 24);
    return out;
}

// Lab (v2 encoding) of each grid point of the colour table, computed once per profile.
std::vector<cmsUInt16Number> colour_table(Film film, const Unit& u) {
    const Matrix to_xyz = sensor_to_xyz(u);
    const Matrix unmix = inverse(crosstalk(film, u));
    std::vector<cmsUInt16Number> out;
    out.reserve(GRID * GRID * GRID * 3);
    for (int r = 0; r < GRID; ++r) {
        for (int g = 0; g < GRID; ++g) {
            for (int b = 0; b < GRID; ++b) {
                Vec e;
                const std::array<int, 3> at{r, g, b};
                for (int c = 0; c < 3; ++c) e[c] = std::pow(at[c] / double(GRID - 1), ENCODING_GAMMA);
                Vec light = mul(unmix, e);
                for (double& v : light) v = std::clamp(v, 0.0, 1.0);
                const Vec xyz = mul(to_xyz, light);
                const cmsCIEXYZ x{xyz[0], xyz[1], xyz[2]};
                cmsCIELab lab;
                cmsXYZ2Lab(cmsD50_XYZ(), &lab, &x);
                lab.L = std::clamp(lab.L, 0.0, 100.0);
                lab.a = std::clamp(lab.a, -128.0, 127.99);
                lab.b = std::clamp(lab.b, -128.0, 127.99);
                cmsUInt16Number w[3];
                cmsFloat2LabEncodedV2(w, &lab);
                out.insert(out.end(), w, w + 3);
            }
        }
    }
    return out;
}

cmsInt32Number copy_sample(const cmsUInt16Number[], cmsUInt16Number out[], void* cargo) {
    auto** next = static_cast<const cmsUInt16Number**>(cargo);
    std::copy(*next, *next + 3, out);
    *next += 3;
    return TRUE;
}

std::vector<std::uint8_t> colour_profile(Film film, const Unit& u, const std::vector<cmsUInt16Number>& table,
                                         std::size_t input_entries, std::size_t padding) {
    Text text;
    text.description = std::string("vexlor ") + FILM_NAMES[static_cast<int>(film)] + " film input, " + u.models +
                       std::string(padding, ' ');
    cmsHPROFILE h = start(2.0, cmsSigLabData, text);
    const Matrix m = sensor_to_xyz(u);
    write_shaper(h, u, m, 256, {1.0, 1.0, 1.0});

    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 3, 3);
    std::array<cmsToneCurve*, 3> curves{};
    for (int c = 0; c < 3; ++c) {
        curves[c] = table_curve(input_entries, [&](double t) { return std::pow(linearise(film, u, c, t), 1.0 / ENCODING_GAMMA); });
    }
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, curves.data()));
    for (auto* c : curves) cmsFreeToneCurve(c);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, GRID, 3, 3, nullptr);
    const cmsUInt16Number* next = table.data();
    cmsStageSampleCLut16bit(clut, copy_sample, &next, 0);
    cmsPipelineInsertStage(lut, cmsAT_END, clut);
    cmsWriteTag(h, cmsSigAToB0Tag, lut);
    cmsPipelineFree(lut);
    auto bytes = save(h);
    cmsCloseProfile(h);
    return bytes;
}

std::vector<std::uint8_t> mono_profile(const Unit& u, std::size_t entries, std::size_t padding) {
    Text text;
    text.description = std::string("vexlor monochrome film input, ") + u.models + std::string(padding, ' ');
    cmsHPROFILE h = start(2.2, cmsSigXYZData, text);
    // Silver images have a long toe; each channel keeps the unit's small balance error.
    const double toe = u.flare * 25;
    write_shaper(h, u, sensor_to_xyz(u), entries, {1.0 + toe, 1.0 + toe * 0.9, 1.0 + toe * 1.1});
    auto bytes = save(h);
    cmsCloseProfile(h);
    return bytes;
}

// The table length and padding that give exactly `target` bytes.
template <class Build>
std::optional<std::vector<std::uint8_t>> sized(std::size_t target, std::size_t per_entry, std::size_t first, Build build) {
    const auto probe = build(first, 0);
    if (probe.empty()) return std::nullopt;
    const long guess = static_cast<long>(first) + (static_cast<long>(target) - static_cast<long>(probe.size())) / static_cast<long>(per_entry);
    for (long n = std::max(2L, guess - 4); n <= guess + 4; ++n) {
        for (std::size_t pad = 0; pad < 8; ++pad) {
            auto bytes = build(static_cast<std::size_t>(n), pad);
            if (bytes.size() == target) return bytes;
        }
    }
    return std::nullopt;
}

// A profile a colour engine can use: it opens and converts to sRGB.
bool usable(const std::vector<std::uint8_t>& bytes) {
    cmsHPROFILE in = cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size()));
    if (!in) return false;
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(in, TYPE_RGB_16, srgb, TYPE_RGB_16, INTENT_PERCEPTUAL, 0);
    const bool ok = t != nullptr;
    if (t) cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    cmsCloseProfile(in);
    return ok;
}

void write_array(std::ofstream& out, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    // A string literal compiles far faster than a brace list of this length.
    out << "alignas(4) const unsigned char " << name << "[" << bytes.size() + 1 << "] =\n\"";
    std::size_t column = 0;
    for (std::uint8_t b : bytes) {
        char cell[8];
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"' && b != '?') {
            cell[0] = static_cast<char>(b);
            cell[1] = 0;
        } else {
            std::snprintf(cell, sizeof cell, "\\%03o", b);
        }
        out << cell;
        column += std::strlen(cell);
        if (column >= 96) {
            out << "\"\n\"";
            column = 0;
        }
    }
    out << "\";\n\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    std::ofstream out(path + ".tmp", std::ios::binary);
    out << "// Generated by tools/icc/generate.cpp at build time; do not edit.\n"
           "#include \"python/icc.hpp\"\n\n"
           "namespace vexlor::python::icc {\n\nnamespace {\n\n";
    std::array<std::array<std::string, 4>, 4> slots;
    std::array<std::array<std::size_t, 4>, 4> sizes{};
    for (std::size_t s = 0; s < UNITS.size(); ++s) {
        const Unit& u = UNITS[s];
        for (int f = 0; f < 4; ++f) {
            const auto film = static_cast<Film>(f);
            std::optional<std::vector<std::uint8_t>> bytes;
            if (film == Film::Mono) {
                if (!u.mono) continue;
                // Three curves of two bytes an entry.
                bytes = sized(MONO_SIZE, 6, 1024, [&](std::size_t n, std::size_t pad) { return mono_profile(u, n, pad); });
            } else {
                const auto table = colour_table(film, u);
                bytes = sized(u.colour_size, 6, 1024,
                              [&](std::size_t n, std::size_t pad) { return colour_profile(film, u, table, n, pad); });
            }
            if (!bytes || !usable(*bytes)) {
                std::fprintf(stderr, "could not build the %s profile of %s\n", FILM_NAMES[f], u.models);
                return 1;
            }
            const std::string name = std::string(u.name) + "_" + FILM_NAMES[f];
            write_array(out, name, *bytes);
            slots[s][f] = name;
            sizes[s][f] = bytes->size();
        }
    }
    out << "}  // namespace\n\nconst Slot profiles[4][4] = {\n";
    for (std::size_t s = 0; s < 4; ++s) {
        out << "    {";
        for (int f = 0; f < 4; ++f) {
            if (slots[s][f].empty()) {
                out << "{nullptr, 0}";
            } else {
                out << "{" << slots[s][f] << ", " << sizes[s][f] << "}";
            }
            out << (f < 3 ? ", " : "");
        }
        out << "},\n";
    }
    out << "};\n\n}  // namespace vexlor::python::icc\n";
    out.close();
    if (!out || std::rename((path + ".tmp").c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "could not write %s\n", path.c_str());
        return 1;
    }
    return 0;
}
