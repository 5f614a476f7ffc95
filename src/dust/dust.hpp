// Infrared dust removal: the density scale, the clear-film calibration, the per-family tuning,
// and the stages that find defect pixels and rebuild them from their surroundings.
//
// The code lives in one file per stage: density.cpp (densities, calibration, tuning),
// detect.cpp (gate, confidence, opaque runs, the decision), rebuild.cpp (the per-pixel step),
// clean.cpp (the workspace, writing back, clean itself); detail.hpp holds what they share.
//
// Planes are `rows` x `cols` samples stored row by row: pixel p is row p / cols, column p % cols.
// Every stage gives the same bits on one thread and on many: each output element is written by
// one task, and every floating sum runs in a fixed order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vexlor::dust {

// Work unit of the per-sample loops.
inline constexpr std::size_t CHUNK = 65536;

namespace detail {
// Large images ask for huge pages: a frame's worth of fresh memory costs far fewer page faults.
void* allocate_image(std::size_t bytes);
void free_image(void* p, std::size_t bytes) noexcept;
}  // namespace detail

// Leaves the elements of a new image unset: each stage writes every element of the image it
// makes, so zeroing first would only touch the memory twice, on the calling thread.
template <class T>
struct Uninit : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = Uninit<U>;
    };
    Uninit() = default;
    template <class U>
    Uninit(const Uninit<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(detail::allocate_image(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { detail::free_image(p, n * sizeof(T)); }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};
template <class T>
using Image = std::vector<T, Uninit<T>>;

// ---- densities

// log2(v + 1) x 65535/16 in single precision: 0 for level 0, 65535 for level 65535.
float density(std::uint16_t v);

using Table = std::array<float, 65536>;
// The density of every level; built by the first caller, concurrent first callers wait for it.
const Table& LUT();

// The density of a fraction of full scale: the fraction (clamped to 0..1) times 65535,
// truncated to a level.
float fraction_density(float f);

Image<float> to_density(std::span<const std::uint16_t> plane);
// levels[i] = round(2^(d x 1/4095.9375) - 1) clamped to 0..65535, NaN giving 0. The spans have
// the same length (the shorter one bounds the work).
void from_density(std::span<const float> densities, std::span<std::uint16_t> levels);

// ---- calibration against clear film

struct Calibration {
    float c = 0.0f;       // infrared density change per unit of red density, within -0.2..0.2
    float ir_ref = 0.0f;  // crosstalk-corrected infrared density of clear film
    bool operator==(const Calibration&) const = default;
};

// "Calibration { c: 0.05, ir_ref: 65012.5 }"
std::string debug_string(const Calibration& c);

// None when no pixel of the image is clear film.
std::optional<Calibration> calibrate(std::span<const std::uint16_t> red, std::span<const std::uint16_t> infrared,
                                     std::size_t rows, std::size_t cols);

// ---- tuning

struct Settings {
    std::uint32_t dpi = 0;
    float threshold = 0.97f;
    std::uint8_t profile = 0;
    bool operator==(const Settings&) const = default;
};

struct Profile {
    float grain_floor;
    float grain_ceiling;
    // channel x 6 + scale x 2 + (0 for a, 1 for b); channels red, green, blue; scales coarse,
    // middle, fine.
    std::array<float, 18> slopes;
    float gate_offset;
    std::array<float, 3> gain;
    std::uint32_t envelope_dpi;
    float falloff;
};

// 0: LS-8000, LS-9000 and unknown units; 1: LS-4000, LS-5000; 2: LS-40, LS-50.
inline constexpr std::array<Profile, 3> PROFILES{{
    {0.04f,
     0.96f,
     {1.36f, 1.32f, 1.37f, 1.30f, 1.34f, 1.25f, 1.37f, 1.30f, 1.35f, 1.29f, 1.30f, 1.24f, 1.34f, 1.25f, 1.32f, 1.25f,
      1.25f, 1.21f},
     0.0f,
     {1.1f, 1.1f, 1.1f},
     950,
     -960.42f},
    {0.01f,
     0.99f,
     {1.21f, 1.09f, 1.17f, 1.08f, 1.04f, 0.96f, 1.23f, 1.13f, 1.14f, 1.05f, 0.93f, 0.84f, 1.13f, 1.04f, 1.08f, 1.02f,
      0.97f, 0.89f},
     1.0f,
     {1.1f, 1.1f, 1.1f},
     1600,
     -960.42f},
    {0.01f,
     0.99f,
     {2.21f, 2.09f, 2.17f, 2.08f, 2.04f, 1.96f, 2.23f, 2.13f, 2.14f, 2.05f, 1.93f, 1.84f, 2.13f, 2.04f, 2.08f, 2.02f,
      1.97f, 1.89f},
     1.0f,
     {1.0f, 1.0f, 1.0f},
     2500,
     -960.52f},
}};

struct Params {
    float grain_lo = 0.0f;
    float grain_hi = 0.0f;
    std::array<float, 18> slopes{};
    float c = 0.0f;
    float ir_ref = 0.0f;
    float gate_zero = 0.0f;
    float clean_level = 0.0f;
    float inv_falloff = 0.0f;
    float opaque = 0.0f;
    std::array<float, 3> gain{};
    bool min3 = false;
    bool envelope = false;

    // A profile index outside the table takes profile 0, as an unknown unit does.
    static Params make(const Settings& settings, const Calibration& calibration);
    bool operator==(const Params&) const = default;
};

// ---- detection

using Mask = Image<std::uint8_t>;  // one byte per pixel, so tasks never share a write

Image<float> gate(std::span<const std::uint16_t> infrared, std::span<const std::uint16_t> red, float c,
                  const Params& params);
// A last partial row (when the size is no multiple of cols) counts as a shorter row.
Image<float> confidence(std::span<const float> gate, std::size_t cols, const Params& params);
// out[x] = in[x - step] & in[x] & in[x + step] along each row, indices clamped into the row (a
// last partial row counting as a shorter row).
Mask and3_cols(std::span<const std::uint8_t> mask, std::size_t cols, std::size_t step);
// The same down each column; all clear when the mask is smaller than rows x cols.
Mask and3_rows(std::span<const std::uint8_t> mask, std::size_t rows, std::size_t cols, std::size_t step);
// The defect mask; empty when an image is smaller than rows x cols.
Mask decide(std::span<const float> gate, std::span<const float> confidence, std::size_t rows, std::size_t cols,
            const Params& params);
// The indices of the set pixels, ascending.
std::vector<std::uint32_t> defect_list(std::span<const std::uint8_t> defect);

// ---- reconstruction

// What every rebuilt pixel reads; nothing writes it while pixels are rebuilt.
struct View {
    std::span<const float> gate;
    std::span<const float> confidence;
    std::span<const std::uint16_t> red;
    std::span<const std::uint16_t> green;
    std::span<const std::uint16_t> blue;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

struct Sums {
    float weight = 0.0f;
    float gate = 0.0f;
    float red = 0.0f;
    float green = 0.0f;
    float blue = 0.0f;

    // Adds pixels first..last (inclusive, one row) with weight confidence x scale; Colour false
    // leaves the colour sums alone.
    template <bool Colour>
    void span(const View& view, std::size_t first, std::size_t last, float scale);
};

enum class Hood { Big, Small, Box };  // the 69-pixel disc, the 21-pixel disc, the 3 x 3

// The sums of one neighbourhood of (y, x), cut at the image edges.
template <bool Colour>
Sums hood(const View& view, std::size_t y, std::size_t x, Hood which);

// One pixel's three neighbourhoods.
struct Hoods {
    Sums big, small, box3;
};

// The neighbourhoods of (y, x) with the colour sums, and those of its left, right, upper and
// lower neighbours without them: the same values as `hood`, computed together. (y, x) must lie
// at least 5 pixels inside every edge.
void hoods_around(const View& view, std::size_t y, std::size_t x, Hoods& own, std::array<Hoods, 4>& next);

// The SplitMix64 finaliser.
std::uint64_t mix(std::uint64_t z);
// A density inside the grain band with the pixel's fixed grain added, when that stays inside
// the band; any other density unchanged.
float grain(float value, std::uint32_t p, unsigned channel, const Params& params);
// The rebuilt red, green and blue densities of pixel p, none when one of them is 0 or below.
std::optional<std::array<float, 3>> rebuild(const View& view, const Params& params, std::uint32_t p);

struct Patch {
    std::vector<std::uint32_t> idx;
    std::vector<float> r;
    std::vector<float> g;
    std::vector<float> b;
};

// Rebuilds every pixel of the defect mask; pixels that failed are left out.
Patch reconstruct_core(std::span<const std::uint8_t> defect, const View& view, const Params& params);

// ---- the workspace of a roll

// The images and lists of the stages below, kept from one frame to the next: a roll is cleaned
// frame after frame on one session, and a frame after the first then takes no fresh memory.
// Sized to the largest frame seen; held until released or destroyed. One frame at a time: the
// owner's exclusive use (the session's) is its only lock.
class Workspace {
public:
    Workspace();
    ~Workspace();
    Workspace(Workspace&&) noexcept;
    Workspace& operator=(Workspace&&) noexcept;

    // Room for a frame of this many pixels.
    void reserve(std::size_t pixels);
    // Two planes of `samples` each for the decimated red and infrared of calibration: they share
    // memory with the confidence image, so they last until the next frame's first stage.
    std::array<std::span<std::uint16_t>, 2> scratch_planes(std::size_t samples);
    // Gives all the memory back; the next frame takes it afresh.
    void release() noexcept;
    std::size_t bytes() const;

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// The stages of `clean` on a workspace, in calling order (the benchmark times them one by one).
// They take the frame `clean` checks: every plane rows x cols samples, and 1 <= rows x cols < 2^32.

// Gate, confidence and the opaque and candidate marks of every pixel, in one pass over the rows.
void screen(Workspace& workspace, std::span<const std::uint16_t> infrared, std::span<const std::uint16_t> red,
            std::size_t rows, std::size_t cols, const Params& params);
// The defect decision and the ascending defect list, band by band of rows.
std::span<const std::uint32_t> list_defects(Workspace& workspace, std::size_t rows, std::size_t cols);
// Rebuilds the listed pixels from the planes as they are (nothing is written yet).
void rebuild_listed(Workspace& workspace, const std::array<std::span<const std::uint16_t>, 3>& planes, std::size_t rows,
                    std::size_t cols, const Params& params);
// Writes the rebuilt pixels that did not fail into the planes; returns how many.
std::size_t write_back(Workspace& workspace, const std::array<std::span<std::uint16_t>, 3>& planes);

// Finds and rebuilds the defects of one frame in its red, green and blue planes; returns the
// number of pixels written. Nothing is written unless every plane holds rows x cols samples
// and the frame has at least one and fewer than 2^32 pixels. The workspace gives the same bits
// as a fresh one, whatever frames it cleaned before.
std::size_t clean(const std::array<std::span<std::uint16_t>, 3>& planes, std::span<const std::uint16_t> infrared,
                  const Calibration& calibration, std::size_t rows, std::size_t cols, const Settings& settings,
                  Workspace& workspace);
// The same on a workspace of its own.
std::size_t clean(const std::array<std::span<std::uint16_t>, 3>& planes, std::span<const std::uint16_t> infrared,
                  const Calibration& calibration, std::size_t rows, std::size_t cols, const Settings& settings);

}  // namespace vexlor::dust
