// The workspace, writing the rebuilt pixels back, and dust::clean over the stages.
// Built with -ffp-contract=off: every float step below is meant bit for bit, in the order written.
#include <algorithm>
#include <limits>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "dust/detail.hpp"
#include "dust/dust.hpp"

namespace vexlor::dust {

namespace detail {

void Buffer::reserve(std::size_t bytes) {
    if (bytes <= bytes_) return;
    release();
    data_ = static_cast<std::byte*>(allocate_image(bytes));
    bytes_ = bytes;
}

void Buffer::release() noexcept {
    if (data_) free_image(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
}

}  // namespace detail

Workspace::Workspace() : impl_(std::make_unique<Impl>()) {}
Workspace::~Workspace() = default;
Workspace::Workspace(Workspace&&) noexcept = default;
Workspace& Workspace::operator=(Workspace&&) noexcept = default;

void Workspace::reserve(std::size_t pixels) {
    // The sizes `begin` asks for, so the first frame takes each buffer once.
    impl_->gate.as<float>(pixels);
    impl_->confidence.as<float>(pixels);
    impl_->marks.as<std::uint8_t>(pixels);
}

std::array<std::span<std::uint16_t>, 2> Workspace::scratch_planes(std::size_t samples) {
    const std::span<std::uint16_t> both = impl_->confidence.as<std::uint16_t>(2 * samples);
    return {both.first(samples), both.last(samples)};
}

void Workspace::release() noexcept {
    if (!impl_) return;
    Impl& w = *impl_;
    w.gate.release();
    w.confidence.release();
    w.marks.release();
    std::vector<std::vector<std::uint32_t>>().swap(w.bands);
    Image<std::uint32_t>().swap(w.idx);
    Image<float>().swap(w.r);
    Image<float>().swap(w.g);
    Image<float>().swap(w.b);
    Image<std::uint8_t>().swap(w.ok);
    w.rows.clear();
    w.begin(0);
}

std::size_t Workspace::bytes() const {
    const Impl& w = *impl_;
    std::size_t total = w.gate.bytes() + w.confidence.bytes() + w.marks.bytes();
    for (const auto& band : w.bands) total += band.capacity() * sizeof(std::uint32_t);
    total += w.idx.capacity() * sizeof(std::uint32_t) + (w.r.capacity() + w.g.capacity() + w.b.capacity()) * sizeof(float) +
             w.ok.capacity();
    for (const auto& rows : w.rows) total += rows.capacity();
    return total;
}

// Every entry is a pixel of its own, so the entries are written side by side; the level of a
// density is taken where it is written, as from_density would give it.
std::size_t write_back(Workspace& workspace, const std::array<std::span<std::uint16_t>, 3>& planes) {
    Workspace::Impl& w = workspace.impl();
    const std::size_t n = w.listed;
    const std::uint32_t* idx = w.idx.data();
    const std::uint8_t* ok = w.ok.data();
    const std::array<const float*, 3> rebuilt{w.r.data(), w.g.data(), w.b.data()};
    return tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, n, CHUNK), std::size_t{0},
        [&](const tbb::blocked_range<std::size_t>& r, std::size_t written) {
            for (std::size_t k = r.begin(); k != r.end(); ++k) {
                if (!ok[k]) continue;
                const std::uint32_t p = idx[k];
                for (std::size_t ch = 0; ch < 3; ++ch) {
                    std::uint16_t& level = planes[ch][p];
                    level = std::max(detail::level_of(rebuilt[ch][k]), level);
                }
                ++written;
            }
            return written;
        },
        [](std::size_t a, std::size_t b) { return a + b; });
}

std::size_t clean(const std::array<std::span<std::uint16_t>, 3>& planes, std::span<const std::uint16_t> infrared,
                  const Calibration& calibration, std::size_t rows, std::size_t cols, const Settings& settings,
                  Workspace& workspace) {
    std::size_t n = 0;
    if (rows == 0 || cols == 0 || __builtin_mul_overflow(rows, cols, &n)) return 0;
    if (n > std::numeric_limits<std::uint32_t>::max()) return 0;
    if (infrared.size() != n) return 0;
    for (const auto& plane : planes) {
        if (plane.size() != n) return 0;
    }

    const Params params = Params::make(settings, calibration);
    LUT();
    // The planes are written only after every pixel is rebuilt, so each rebuilt pixel reads the
    // frame as it was.
    screen(workspace, infrared, planes[0], rows, cols, params);
    list_defects(workspace, rows, cols);
    rebuild_listed(workspace, {planes[0], planes[1], planes[2]}, rows, cols, params);
    return write_back(workspace, planes);
}

std::size_t clean(const std::array<std::span<std::uint16_t>, 3>& planes, std::span<const std::uint16_t> infrared,
                  const Calibration& calibration, std::size_t rows, std::size_t cols, const Settings& settings) {
    Workspace workspace;
    return clean(planes, infrared, calibration, rows, cols, settings, workspace);
}

}  // namespace vexlor::dust
