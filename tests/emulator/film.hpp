// The synthetic film an emulated unit holds: a strip of frames with base between them, picture
// content with gradients, edges and fine texture, an infrared reading of the same film, and
// dust, hairs and scratches. Everything is in the unit's optical addresses (x across the film,
// y along it) and computed on demand from integers, so tests can ask what any pixel holds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "emulator/pages.hpp"
#include "protocol/data.hpp"

namespace vexlor::emulator::film {

// The light a sensor channel reads; a window identifier maps onto one.
enum class Light { Red, Green, Blue, Infrared };
Light light_of(std::uint8_t window_id);

// What lies between frames: clear base (negative film) or dark base (slide film).
enum class Base { Clear, Dark };

// What a frame shows: the test pattern (gradients, hard-edged blocks, grain) or a landscape a
// person recognises, drawn as a slide (no orange mask).
enum class Picture { Pattern, Scene };

struct Frame {
    std::uint32_t top = 0;     // along the film
    std::uint32_t length = 0;  // along the film
    std::uint32_t left = 0;    // across the film
    std::uint32_t width = 0;
    int density = 100;  // picture contrast in percent: 0 leaves base only (a missing frame), low reads nearly clear
    int darkness = 0;   // percent of the light the whole frame holds back besides its picture: high reads dark
    Picture picture = Picture::Pattern;
    bool operator==(const Frame&) const = default;
};

// A defect on the film. Every kind holds back seven eighths of the infrared where it lies, and
// more of the colours: shorter wavelengths scatter more (see Sensor).
enum class Mark { Dust, Hair, Scratch };
struct Speck {
    Mark mark = Mark::Dust;
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t size = 0;  // a dust speck's radius; a hair's or scratch's length (a hair runs across, a scratch along)
};

// How a unit reads the film. A sample takes in the light of a pitch x pitch block of addresses,
// each address a unit square round its point, so a defect's edge covers part of a sample. A
// defect's density in each colour is `gain` times its density in infrared, the unit family's
// figure (the one its dust removal is tuned to).
struct Sensor {
    std::uint32_t x_pitch = 1;
    std::uint32_t y_pitch = 1;
    std::array<float, 3> gain{1.0f, 1.0f, 1.0f};
};

struct Film {
    Base base = Base::Clear;
    // Across the film, the strip covers [left, right); outside it the holder blocks the light.
    std::uint32_t left = 0;
    std::uint32_t right = UINT32_MAX;
    // Along the film, the strip covers [start, end).
    std::uint32_t start = 0;
    std::uint32_t end = UINT32_MAX;
    std::vector<Frame> frames;
    std::vector<std::uint32_t> perforations;  // along the film, one per perforation
    std::vector<Speck> specks;
    std::uint32_t seed = 1;

    // Transmittance of the sample at optical address (x, y), 0 (opaque) to 65535 (clear): the
    // picture at that address, dimmed by the share of the sample each speck covers.
    std::uint16_t transmittance(Light light, std::uint32_t x, std::uint32_t y, const Sensor& sensor = {}) const;
    // The share of the sample at (x, y), `x_pitch` x `y_pitch` addresses, that a speck covers: 0 to 1.
    static double coverage(const Speck& speck, std::uint32_t x, std::uint32_t y, std::uint32_t x_pitch = 1,
                           std::uint32_t y_pitch = 1);
    // Whether any speck covers part of that sample.
    bool marked(std::uint32_t x, std::uint32_t y, std::uint32_t x_pitch = 1, std::uint32_t y_pitch = 1) const;
};

// A strip of `count` 135 frames as loaded in a unit of this model: frames 36 mm long with gaps of
// a little over 2 mm that vary from frame to frame, starting `offset` addresses into the reach,
// centred across the X reach; clear base; a few specks on the first frame.
Film strip(const ModelValues& meant, int count = 6, std::uint32_t offset = 0);

// A strip of any format, lengths in hundredths of a millimetre. Gaps run from 85% to 115% of
// `gap`, frame after frame; the film starts `offset` addresses into the reach and its first frame
// `lead` later. A 135-style strip carries perforations every 4.75 mm from 1 mm into the film.
struct Plan {
    std::uint32_t frame = 3600;  // along the film
    std::uint32_t width = 2400;  // across; at most the X reach
    std::uint32_t gap = 200;
    int count = 6;
    std::uint32_t offset = 0;
    std::uint32_t lead = 150;
    std::vector<int> density{};   // per frame, percent (100 where not given); 0 leaves a frame missing
    std::vector<int> darkness{};  // per frame, percent (0 where not given)
    Base base = Base::Clear;
    bool perforated = true;
    bool specks = false;  // a few on the first frame
};
Film strip(const ModelValues& meant, const Plan& plan);

// What the unit's perforation counter reads with the film at `y`: perforations passed since the
// film's first (none before it, and the count stops after the last), quarters of the way to the
// next, and motor pulses (one per 4 addresses) since the last; the count switch is flagged on the
// first reading of each new perforation, which the caller knows from the reading before.
protocol::data::PerforationInformation perforation_at(const Film& film, std::uint32_t y);
// The readings of a thumbnail pass, one per output line at `y0 + line * pitch`.
std::vector<protocol::data::PerforationInformation> perforation_readings(const Film& film, std::uint32_t y0, std::uint32_t pitch,
                                                                         std::uint64_t lines);

// Turns `film` into slide film whose frame `index` shows the scene, with dust specks of several
// sizes on it (and nowhere else), on smooth areas and on edges, so a preview shows what cleaning
// does. No-op past the last frame.
void show_scene(Film& film, std::size_t index = 0);

// The frames a model's published frame table names, as a film with content in each.
Film published(const ModelValues& meant);

// Full scale of a sample: at the nominal exposure clear film reads just over full scale, so a
// sensor reading of clear base clips until the exposure comes down.
inline constexpr std::uint32_t CLEAR_GAIN_PERCENT = 125;

// The 16-bit reading of transmittance `t` at `exposure`, against the channel's nominal exposure;
// clips at 65535.
std::uint16_t exposed(std::uint16_t t, std::uint32_t exposure, std::uint32_t nominal);

}  // namespace vexlor::emulator::film
