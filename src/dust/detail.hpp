// What the dust stages share inside src/dust: the loops over the pool, NaN-passing minimum and
// maximum, the level of a density, and the workspace's storage.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "dust/dust.hpp"

namespace vexlor::dust::detail {

inline constexpr float DENSITY_SCALE = 4095.9375f;     // 65535 / 16
inline constexpr float LEVEL_SCALE = 0.00024414435f;  // nearest float to 1 / 4095.9375

// Minimum and maximum that pass over a NaN instead of returning it (written without branches,
// so that row loops vectorise).
inline float min_of(float a, float b) {
    const float m = b < a ? b : a;
    return a != a ? b : m;
}
inline float max_of(float a, float b) {
    const float m = b > a ? b : a;
    return a != a ? b : m;
}

inline std::uint16_t level_of(float d) {
    const float v = std::exp2(d * LEVEL_SCALE) - 1.0f;
    if (std::isnan(v) || v < 0.5f) return 0;
    if (v >= 65535.0f) return 65535;
    return static_cast<std::uint16_t>(std::lround(v));
}

// Runs f(first, last) over [0, n) in pieces of CHUNK elements, split adaptively over the pieces.
template <class F>
void for_chunks(std::size_t n, F&& f) {
    const std::size_t chunks = (n + CHUNK - 1) / CHUNK;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, chunks), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t k = r.begin(); k != r.end(); ++k) f(k * CHUNK, std::min(n, (k + 1) * CHUNK));
    });
}

// Runs f(row) for every row, split adaptively over the rows.
template <class F>
void for_rows(std::size_t rows, F&& f) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t y = r.begin(); y != r.end(); ++y) f(y);
    });
}

// Memory that outlives a frame and holds one image at a time, of any element type. It only
// grows: the old memory goes before the new is taken, so growing never holds both.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    // n elements, left as they are: the stages write every element they later read.
    template <class T>
    std::span<T> as(std::size_t n) {
        static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
        reserve(n * sizeof(T));
        T* p = reinterpret_cast<T*>(data_);
        std::uninitialized_default_construct_n(p, n);
        return {std::launder(p), n};
    }
    std::size_t bytes() const { return bytes_; }
    void release() noexcept;

private:
    void reserve(std::size_t bytes);
    std::byte* data_ = nullptr;
    std::size_t bytes_ = 0;
};

// Grows a list to at least n entries without keeping what it held.
template <class T, class A>
std::span<T> take(std::vector<T, A>& v, std::size_t n) {
    if (v.size() < n) {
        std::vector<T, A>().swap(v);
        v.resize(n);
    }
    return {v.data(), n};
}

// Rows of one band of the defect decision: each band collects its own ascending indices.
inline constexpr std::size_t BAND_ROWS = 8;

}  // namespace vexlor::dust::detail

namespace vexlor::dust {

struct Workspace::Impl {
    // The images of one frame. The decimated planes of calibration borrow the confidence
    // image's memory: they are gone before the confidence is computed.
    detail::Buffer gate;
    detail::Buffer confidence;
    // Per pixel: bit 0 opaque, bit 1 a candidate (confidence below 1).
    detail::Buffer marks;
    std::vector<std::vector<std::uint32_t>> bands;
    // The defect list and the rebuilt pixels beside it.
    Image<std::uint32_t> idx;
    Image<float> r, g, b;
    Image<std::uint8_t> ok;
    std::size_t listed = 0;
    // Seven rows of run masks per thread for the decision.
    tbb::enumerable_thread_specific<std::vector<std::uint8_t>> rows;

    // This frame's images, taken by the first stage and read by the later ones.
    std::size_t pixels = 0;
    std::span<float> gate_image;
    std::span<float> confidence_image;
    std::span<std::uint8_t> marks_image;

    void begin(std::size_t n) {
        pixels = n;
        gate_image = gate.as<float>(n);
        confidence_image = confidence.as<float>(n);
        marks_image = marks.as<std::uint8_t>(n);
        listed = 0;
    }
};

}  // namespace vexlor::dust
