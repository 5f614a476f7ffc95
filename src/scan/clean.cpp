#include "scan/clean.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "diag/log.hpp"
#include "dust/dust.hpp"
#include "text.hpp"

namespace vexlor::scan::clean {

namespace {

constexpr std::string_view TARGET = "vexlor::scan::clean";
constexpr std::size_t CALIBRATION_PIXELS = 2'500'000;


error::Error refuse(std::string reason) { return error::Error::unsupported("clean", std::move(reason)); }

std::uint8_t profile_for(std::optional<protocol::model::Model> model) {
    if (!model) {
        VX_WARN(TARGET, "unrecognized scanner, cleaning with a default profile");
        return 0;
    }
    return profile_of(*model);
}

}  // namespace

std::uint8_t profile_of(protocol::model::Model model) {
    using protocol::model::Model;
    switch (model) {
        case Model::Ls40:
        case Model::Ls50: return 2;
        case Model::Ls4000:
        case Model::Ls5000: return 1;
        case Model::Ls8000:
        case Model::Ls9000: return 0;
    }
    return 0;
}

// Rows of the output side by side: each reads its own input row.
void decimate(std::span<const std::uint16_t> plane, std::size_t width, std::size_t step, std::span<std::uint16_t> out) {
    if (width == 0 || step == 0) return;
    const std::size_t cols = width / step;
    const std::size_t rows = cols == 0 ? 0 : std::min(out.size() / cols, plane.size() / width / step);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t y = r.begin(); y != r.end(); ++y) {
            const std::uint16_t* in = plane.data() + y * step * width;
            std::uint16_t* o = out.data() + y * cols;
            for (std::size_t x = 0; x < cols; ++x) o[x] = in[x * step];
        }
    });
}

std::size_t decimation_step(std::size_t pixels) {
    const std::size_t q = pixels / CALIBRATION_PIXELS;
    auto root = static_cast<std::size_t>(std::sqrt(static_cast<double>(q)));
    while (root * root > q) --root;
    while ((root + 1) * (root + 1) <= q) ++root;
    return root == 0 ? 1 : root;
}

std::vector<std::uint16_t> decimate(std::span<const std::uint16_t> plane, std::size_t width, std::size_t step) {
    if (width == 0 || step == 0) return {};
    std::vector<std::uint16_t> out(plane.size() / width / step * (width / step));
    decimate(plane, width, step, out);
    return out;
}

namespace {

error::Result<std::size_t> clean_planes(protocol::decode::Samples& samples, const pass::Pass& pass,
                                        std::optional<protocol::model::Model> model, dust::Workspace& work) {
    const protocol::image::Layout& layout = pass.started.layout;
    using protocol::window::Channel;
    const std::vector<Channel> colors = layout.colors();
    const auto position = [&](Channel::Kind kind) -> std::optional<std::size_t> {
        const auto it = std::find(colors.begin(), colors.end(), Channel::of(kind));
        if (it == colors.end()) return std::nullopt;
        return static_cast<std::size_t>(it - colors.begin());
    };
    const auto red = position(Channel::Kind::Red);
    const auto green = position(Channel::Kind::Green);
    const auto blue = position(Channel::Kind::Blue);
    if (!red || !green || !blue) {
        std::vector<std::uint8_t> codes;
        for (const Channel c : colors) codes.push_back(c.byte());
        return std::unexpected(
            refuse(fmt::format("needs a red, green and blue plane, this pass has {}", text::dec_list(codes))));
    }

    dust::Settings settings;
    settings.profile = profile_for(model);
    settings.dpi = layout.dpi;
    settings.threshold = 0.97f;

    if (!samples.infrared) return std::unexpected(refuse("needs the infrared pass"));

    // The planes must be the pass's: the cleaner indexes them with the pass's dimensions.
    const std::size_t rows = pass.rows;
    const std::size_t cols = pass.cols;
    std::size_t n = 0;
    // The cleaner numbers pixels in 32 bits.
    if (__builtin_mul_overflow(rows, cols, &n) || n > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(refuse(fmt::format("a frame of {} x {} pixels is more than it can take ({} at most)", rows, cols,
                                                  std::numeric_limits<std::uint32_t>::max())));
    }
    bool fits = samples.infrared->size() == n;
    for (const auto at : {*red, *green, *blue}) fits = fits && at < samples.planes.size() && samples.planes[at].size() == n;
    if (!fits) {
        return std::unexpected(
            refuse(fmt::format("the sample planes do not hold the pass's {} x {} samples", rows, cols)));
    }
    if (n == 0) return 0;
    work.reserve(n);

    const std::span<const std::uint16_t> red_plane = samples.planes[*red];
    const std::span<const std::uint16_t> infrared = *samples.infrared;
    const std::size_t step = decimation_step(n);
    std::optional<dust::Calibration> calibration;
    if (step == 1) {
        // Decimating by 1 is the plane itself.
        calibration = dust::calibrate(red_plane, infrared, rows, cols);
    } else {
        // The decimated planes live in the workspace until the cleaner's first stage.
        const std::size_t small = rows / step * (cols / step);
        const auto [small_red, small_ir] = work.scratch_planes(small);
        decimate(red_plane, cols, step, small_red);
        decimate(infrared, cols, step, small_ir);
        calibration = dust::calibrate(small_red, small_ir, rows / step, cols / step);
    }
    if (!calibration) {
        VX_WARN(TARGET, "no clear film in the decimated prescan, calibrating off the whole frame");
        // Undecimated, the prescan was already the whole frame.
        if (step != 1) calibration = dust::calibrate(red_plane, infrared, rows, cols);
    }
    if (!calibration) return std::unexpected(refuse("no clear film in this frame to calibrate against"));
    VX_DEBUG(TARGET, "infrared calibration", diag::field("cal", dust::debug_string(*calibration)),
             diag::field("step", step));

    const std::array<std::span<std::uint16_t>, 3> planes{samples.planes[*red], samples.planes[*green],
                                                         samples.planes[*blue]};
    return dust::clean(planes, infrared, *calibration, rows, cols, settings, work);
}

}  // namespace

error::Result<std::size_t> clean_frame(protocol::decode::Samples& samples, const pass::Pass& pass,
                                       std::optional<protocol::model::Model> model, dust::Workspace* workspace) {
    std::optional<dust::Workspace> own;
    try {
        return clean_planes(samples, pass, model, workspace ? *workspace : own.emplace());
    } catch (const std::bad_alloc&) {
        // The planes are written only once every pixel is rebuilt, so they are still as read; the
        // images grown so far go back, for the result to be built in.
        if (workspace) workspace->release();
        return std::unexpected(refuse("not enough memory to clean this frame"));
    }
}

}  // namespace vexlor::scan::clean
