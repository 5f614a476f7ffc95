#include "emulator/render.hpp"

#include <algorithm>
#include <cstring>

#include "dust/dust.hpp"
#include "scan/clean.hpp"

namespace vexlor::emulator::render {

namespace {

using protocol::window::Window;
namespace sw = protocol::caps::set_window;

}  // namespace

std::uint32_t optical(std::uint32_t v, std::uint16_t units, std::uint32_t dpi) {
    return units == protocol::image::BASE_DIVISOR ? static_cast<std::uint32_t>(std::uint64_t{v} * dpi / units) : v;
}

protocol::caps::Capabilities capabilities(const ModelValues& meant) {
    protocol::caps::Capabilities caps;
    caps.ccd = meant.ccd;
    caps.frames = meant.frames;
    caps.set_window = meant.set_window;
    caps.features = meant.features;
    caps.address = meant.address;
    return caps;
}

error::Result<Stream> Stream::make(const ModelValues& meant, std::vector<Window> windows, std::uint16_t units,
                                   const std::optional<protocol::data::Truncation>& truncation,
                                   std::shared_ptr<const film::Film> film) {
    auto layout = protocol::image::Layout::make(capabilities(meant), windows, units, truncation);
    if (!layout) return std::unexpected(std::move(layout).error());
    Stream s;
    s.layout_ = std::move(*layout);
    s.windows_ = std::move(windows);
    s.film_ = std::move(film);
    s.total_ = s.layout_.total_bytes();
    s.sensor_ = {s.layout_.x_pitch, s.layout_.y_pitch, dust::PROFILES[scan::clean::profile_of(meant.model)].gain};
    for (const auto& w : s.windows_) s.nominal_.push_back(white_balance_exposure(w.id));
    const auto& front = s.windows_.front();
    s.x0_ = optical(front.ulx, units, meant.address.x.optical_dpi);
    s.y0_ = optical(front.uly, units, meant.address.y.optical_dpi);
    if (s.layout_.interleaving.contains(sw::interleaving::MULTILINE_SIMULTANEOUS) && s.layout_.ccd_lines >= 2) {
        s.rows_ = s.layout_.ccd_lines;
        s.gap_ = std::max<std::uint64_t>(s.layout_.line_gap, 1);
        // The rows differ in gain as the CCD record describes; the host's curves take it out.
        for (std::uint64_t t = 0; t < s.rows_; ++t) s.row_gains_.push_back(meant.ccd ? ccd_gain(meant, t, 0) : 1000);
    }
    return s;
}

std::uint32_t Stream::film_x(std::uint32_t x) const { return x0_ + x * layout_.x_pitch; }
std::uint32_t Stream::film_y(std::uint32_t line) const { return y0_ + line * layout_.y_pitch; }

std::uint32_t Stream::row_gain(std::uint32_t line) const {
    if (row_gains_.empty()) return 1000;
    return row_gains_[(line % (rows_ * gap_)) / gap_];
}

std::uint16_t Stream::value(std::size_t w, std::uint32_t x, std::uint32_t line) const {
    const Window& win = windows_[w];
    const std::uint16_t t = film_->transmittance(film::light_of(win.id), film_x(x), film_y(line), sensor_);
    const std::uint16_t v = film::exposed(t, win.exposure != 0 ? win.exposure : nominal_[w], nominal_[w]);
    return win.bits >= 16 || win.bits == 0 ? v : static_cast<std::uint16_t>(v >> (16 - win.bits));
}

// Reading m of a sample: the row's gain applied, and the first two readings one count either
// side of the value so averaging shows.
std::uint16_t Stream::reading(std::size_t w, std::uint32_t x, std::uint32_t line, std::uint32_t m) const {
    const std::uint32_t top = windows_[w].bits >= 16 || windows_[w].bits == 0 ? 65535u : (1u << windows_[w].bits) - 1;
    std::uint32_t v = value(w, x, line);
    v = std::min<std::uint32_t>(static_cast<std::uint32_t>(std::uint64_t{v} * row_gain(line) / 1000), top);
    if (layout_.readings >= 2 && v > 0 && v < top && m < 2) v = m == 0 ? v - 1 : v + 1;
    return static_cast<std::uint16_t>(v);
}

void Stream::render_block() {
    const std::uint64_t width = layout_.pixels;
    const std::uint64_t readings = std::max<std::uint8_t>(layout_.readings, 1);
    // The stream order of channel lines: colour first readings, infrared, further colour readings.
    std::vector<std::pair<std::size_t, std::uint32_t>> order;
    std::vector<std::size_t> colours, infrared;
    for (std::size_t w = 0; w < windows_.size(); ++w) (windows_[w].channel().infrared() ? infrared : colours).push_back(w);
    for (const auto w : colours) order.emplace_back(w, 0);
    for (const auto w : infrared) order.emplace_back(w, 0);
    for (std::uint32_t m = 1; m < readings; ++m) {
        for (const auto w : colours) order.emplace_back(w, m);
    }
    const std::uint64_t row_samples = rows_ * width;
    const std::uint64_t read_samples = order.size() * row_samples;
    const std::size_t sb = layout_.sample_bytes;
    block_.assign(static_cast<std::size_t>(gap_ * read_samples * sb), 0);
    const std::uint64_t k = next_block_++;
    for (std::uint64_t o = 0; o < gap_; ++o) {
        for (std::uint64_t t = 0; t < rows_; ++t) {
            const auto line = static_cast<std::uint32_t>(k * rows_ * gap_ + t * gap_ + o);
            for (std::size_t p = 0; p < order.size(); ++p) {
                const auto [w, m] = order[p];
                std::uint8_t* at = block_.data() + (o * read_samples + p * row_samples + t) * sb;
                for (std::uint64_t x = 0; x < width; ++x, at += rows_ * sb) {
                    const std::uint16_t v = reading(w, static_cast<std::uint32_t>(x), line, m);
                    if (sb == 1) {
                        at[0] = static_cast<std::uint8_t>(v);
                    } else {
                        at[0] = static_cast<std::uint8_t>(v >> 8);
                        at[1] = static_cast<std::uint8_t>(v);
                    }
                }
            }
        }
    }
    block_at_ = 0;
}

std::size_t Stream::read(std::span<std::uint8_t> out) {
    const auto& l = layout_;
    const std::uint64_t readings = std::max<std::uint8_t>(l.readings, 1);
    const std::uint64_t all = l.channels.size();
    const std::uint64_t colours = l.colors().size();
    const bool has_ir = colours < all;
    const std::uint64_t group = l.group;
    const std::uint64_t line_bytes = std::uint64_t{l.sample_bytes} * l.pixels;
    std::size_t done = 0;
    while (done < out.size() && sent_ < total_) {
        const bool first = record_ == 0;
        const auto& edges = first && readings > 1 && has_ir ? l.ir_edges : l.color_edges;
        std::uint64_t k = group * (edges.first + edges.second + line_bytes * (first ? all : colours));
        if (k == 0) k = 1;
        const std::uint64_t lead = group * edges.first;
        const std::uint64_t trail_at = k - std::min(k, group * edges.second);
        const std::uint64_t line = set_ * group;
        const bool kept = line >= l.head_lines && line < l.head_lines + l.lines;

        std::uint64_t n = std::min<std::uint64_t>({k - offset_, out.size() - done, total_ - sent_});
        std::uint8_t* to = out.data() + done;
        if (!kept || offset_ < lead || offset_ >= trail_at) {
            if (kept) n = std::min(n, offset_ < lead ? lead - offset_ : k - offset_);
            std::memset(to, FILLER, static_cast<std::size_t>(n));
        } else {
            if (block_at_ == block_.size()) render_block();
            n = std::min<std::uint64_t>({n, trail_at - offset_, block_.size() - block_at_});
            std::memcpy(to, block_.data() + block_at_, static_cast<std::size_t>(n));
            block_at_ += static_cast<std::size_t>(n);
        }
        done += static_cast<std::size_t>(n);
        sent_ += n;
        offset_ += n;
        if (offset_ == k) {
            offset_ = 0;
            if (++record_ == readings) {
                record_ = 0;
                ++set_;
            }
        }
    }
    return done;
}

}  // namespace vexlor::emulator::render
