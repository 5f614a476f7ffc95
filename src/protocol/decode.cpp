#include "protocol/decode.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>
#include <sys/mman.h>

#include "flags.hpp"
#include "try.hpp"

namespace vexlor::protocol::decode {

namespace {

error::Error refuse(std::string reason) { return error::Error::unsupported("decode", std::move(reason)); }

bool mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

template <unsigned Bytes>
inline std::uint32_t load(const std::uint8_t* p) {
    if constexpr (Bytes == 1) {
        return p[0];
    } else {
        return (std::uint32_t{p[0]} << 8) | p[1];
    }
}

// The general path: any rows, gap and readings, with or without curves.
template <unsigned Bytes, bool Curved>
void decode_general(const std::uint8_t* block, std::uint64_t k, const std::vector<Slot>& slots, std::uint64_t width,
                    std::uint64_t lines, std::uint64_t rows, std::uint64_t gap, std::uint64_t row_samples,
                    std::uint64_t read_samples, const curves::Curves* curves,
                    std::vector<std::vector<std::uint16_t>>& planes, std::uint16_t* infrared) {
    const std::uint64_t block_lines = rows * gap;
    const std::uint64_t base = k * block_lines;
    for (const Slot& slot : slots) {
        std::uint16_t* out = slot.color ? planes[slot.plane].data() : infrared;
        const std::uint64_t readings = slot.readings == 0 ? 1 : slot.readings;
        for (std::uint64_t j = 0; j < block_lines; ++j) {
            const std::uint64_t t = j / gap;
            const std::uint64_t o = j % gap;
            const std::vector<std::uint16_t>* table = nullptr;
            if constexpr (Curved) {
                if (t < curves->tables.size()) table = &curves->tables[t];
            }
            const std::uint64_t line_start = o * read_samples + t;
            std::uint16_t* dst = out + base + j;
            for (std::uint64_t x = 0; x < width; ++x) {
                std::uint64_t sum = 0;
                for (std::uint64_t m = 0; m < readings; ++m) {
                    const std::uint64_t p = m == 0 ? slot.first : slot.second + (m - 1) * slot.stride;
                    std::uint32_t v = load<Bytes>(block + (line_start + p * row_samples + x * rows) * Bytes);
                    if constexpr (Curved) {
                        // A value past the end of a short table is left uncorrected.
                        if (table && v < table->size()) v = (*table)[v];
                    }
                    sum += v;
                }
                dst[(width - 1 - x) * lines] = static_cast<std::uint16_t>((sum + readings / 2) / readings);
            }
        }
    }
}

// The common case: one CCD row, one read a block, one reading, 2-byte samples, no curves.
// Several blocks are taken together so every write run covers consecutive lines of a row.
void decode_fast(const std::uint8_t* data, std::uint64_t k, std::uint64_t count, const std::vector<Slot>& slots,
                 std::uint64_t width, std::uint64_t lines, std::uint64_t row_samples, std::uint64_t block_bytes,
                 std::vector<std::vector<std::uint16_t>>& planes, std::uint16_t* infrared) {
    constexpr std::uint64_t batch = 16;
    constexpr std::uint64_t tile = 64;  // pixels per pass over a batch, to keep the source rows hot
    for (std::uint64_t b0 = 0; b0 < count; b0 += batch) {
        const std::uint64_t nb = std::min(batch, count - b0);
        const std::uint8_t* first_block = data + b0 * block_bytes;
        for (const Slot& slot : slots) {
            std::uint16_t* out = (slot.color ? planes[slot.plane].data() : infrared) + k + b0;
            const std::uint8_t* src = first_block + slot.first * row_samples * 2;
            if (nb == 1) {
                // One line: walk the plane upwards, the source downwards.
                std::uint16_t* dst = out;
                for (std::uint64_t x = width; x-- > 0; dst += lines) {
                    *dst = static_cast<std::uint16_t>((src[2 * x] << 8) | src[2 * x + 1]);
                }
                continue;
            }
            for (std::uint64_t x0 = 0; x0 < width; x0 += tile) {
                const std::uint64_t x1 = std::min(width, x0 + tile);
                for (std::uint64_t x = x0; x < x1; ++x) {
                    std::uint16_t* dst = out + (width - 1 - x) * lines;
                    const std::uint8_t* s = src + 2 * x;
                    for (std::uint64_t b = 0; b < nb; ++b) {
                        const std::uint8_t* q = s + b * block_bytes;
                        dst[b] = static_cast<std::uint16_t>((q[0] << 8) | q[1]);
                    }
                }
            }
        }
    }
}

}  // namespace

std::vector<Slot> Slot::every(std::span<const window::Channel> channels, std::uint8_t readings) {
    const std::uint64_t c = static_cast<std::uint64_t>(
        std::count_if(channels.begin(), channels.end(), [](window::Channel ch) { return !ch.infrared(); }));
    const std::uint64_t n = channels.size();
    const std::uint64_t k = std::max<std::uint64_t>(readings, 1);
    std::vector<Slot> out;
    out.reserve(n);
    std::uint64_t b_color = 0, b_ir = 0;
    for (const window::Channel ch : channels) {
        if (!ch.infrared()) {
            out.push_back({b_color, b_color + n, c, k, b_color, true});
            ++b_color;
        } else {
            out.push_back({c + b_ir, 0, 0, 1, b_ir, false});
            ++b_ir;
        }
    }
    return out;
}

error::Result<Decoder> Decoder::make(const image::Layout& layout) {
    if (layout.sample_bytes != 1 && layout.sample_bytes != 2) {
        return std::unexpected(refuse(fmt::format("{} bytes a sample is neither of the widths 2-11-3 defines", layout.sample_bytes)));
    }
    namespace il = caps::set_window::interleaving;
    if (!layout.interleaving.intersects(il::LINE_WITHOUT_DISTANCE | il::MULTILINE_SIMULTANEOUS)) {
        return std::unexpected(
            refuse(fmt::format("{} is not an ordering this decodes yet", vexlor::debug_string(layout.interleaving))));
    }
    Decoder d;
    if (layout.interleaving.contains(il::MULTILINE_SIMULTANEOUS) && layout.ccd_lines >= 2) {
        d.rows_ = layout.ccd_lines;
        d.gap_ = layout.line_gap;
        if (d.gap_ == 0) {
            return std::unexpected(refuse(fmt::format(
                "a scanning pitch of {} puts all the CCD rows on one output line, so the decoder cannot separate a multi-line read",
                layout.y_pitch)));
        }
    }
    const std::uint64_t block_lines = d.rows_ * d.gap_;
    if (layout.lines % block_lines != 0) {
        return std::unexpected(
            refuse(fmt::format("{} columns is not a whole number of {}-column blocks", layout.lines, block_lines)));
    }
    d.slots_ = Slot::every(layout.channels, layout.readings);
    for (const Slot& s : d.slots_) (s.color ? d.colors_ : d.infrared_) += 1;
    d.width_ = layout.pixels;
    d.lines_ = layout.lines;
    d.readings_ = std::max<std::uint64_t>(layout.readings, 1);
    d.sample_bytes_ = layout.sample_bytes;
    d.row_samples_ = d.rows_ * d.width_;
    // Every product below is bounded by real layouts; an overflowing one could only come from a
    // corrupted layout and must not turn into a small block.
    std::uint64_t per_read = 0;
    if (!mul(d.readings_, d.colors_, per_read) || !mul(per_read + d.infrared_, d.row_samples_, d.read_samples_) ||
        !mul(d.read_samples_, d.gap_, d.block_bytes_) || !mul(d.block_bytes_, d.sample_bytes_, d.block_bytes_) ||
        !mul(d.width_ * d.lines_, std::max<std::uint64_t>(d.infrared_, 1), per_read) ||
        d.block_bytes_ > (std::uint64_t{1} << 40)) {
        return std::unexpected(refuse("a block of this layout is too large to hold"));
    }
    d.pending_.reserve(d.block_bytes_);
    return d;
}

error::Result<void> Decoder::check(const Samples& samples) const {
    if (samples.planes.size() != colors_) {
        return std::unexpected(
            refuse(fmt::format("the output holds {} color planes and this stream needs {}", samples.planes.size(), colors_)));
    }
    const std::uint64_t need = width_ * lines_;
    for (std::size_t i = 0; i < samples.planes.size(); ++i) {
        if (samples.planes[i].size() < need) {
            return std::unexpected(refuse(
                fmt::format("color plane {} holds {} samples and this stream needs {}", i, samples.planes[i].size(), need)));
        }
    }
    const std::uint64_t ir = samples.infrared ? samples.infrared->size() : 0;
    if (ir < need * infrared_) {
        return std::unexpected(
            refuse(fmt::format("the infrared output holds {} samples and this stream needs {}", ir, need * infrared_)));
    }
    return {};
}

void Decoder::decode_blocks(const std::uint8_t* data, std::uint64_t count, std::vector<std::vector<std::uint16_t>>& planes,
                            std::uint16_t* infrared) {
    const std::uint64_t k = blocks_;
    if (width_ != 0 && !slots_.empty()) {
        const curves::Curves* c = curves && !curves->tables.empty() ? curves.get() : nullptr;
        if (rows_ == 1 && gap_ == 1 && readings_ == 1 && sample_bytes_ == 2 && c == nullptr) {
            decode_fast(data, k, count, slots_, width_, lines_, row_samples_, block_bytes_, planes, infrared);
        } else {
            for (std::uint64_t i = 0; i < count; ++i) {
                const std::uint8_t* block = data + i * block_bytes_;
                if (sample_bytes_ == 1) {
                    if (c) decode_general<1, true>(block, k + i, slots_, width_, lines_, rows_, gap_, row_samples_, read_samples_, c, planes, infrared);
                    else decode_general<1, false>(block, k + i, slots_, width_, lines_, rows_, gap_, row_samples_, read_samples_, c, planes, infrared);
                } else {
                    if (c) decode_general<2, true>(block, k + i, slots_, width_, lines_, rows_, gap_, row_samples_, read_samples_, c, planes, infrared);
                    else decode_general<2, false>(block, k + i, slots_, width_, lines_, rows_, gap_, row_samples_, read_samples_, c, planes, infrared);
                }
            }
        }
    }
    blocks_ = k + count;
}

void Decoder::consume_blocks(const std::uint8_t* data, std::uint64_t count, Samples& samples) {
    const std::uint64_t total = lines_ / (rows_ * gap_);
    const std::uint64_t left = blocks_ < total ? total - blocks_ : 0;
    const std::uint64_t n = std::min(count, left);  // blocks past the end are dropped
    if (n == 0) return;
    std::uint16_t* ir = samples.infrared ? samples.infrared->data() : nullptr;
    decode_blocks(data, n, samples.planes, ir);
}

bool Decoder::take(std::span<const std::uint8_t> block, std::vector<std::vector<std::uint16_t>>& planes,
                   std::span<std::uint16_t> infrared) {
    const std::uint64_t need = width_ * lines_;
    if (block.size() < block_bytes_ || planes.size() != colors_ || infrared.size() < need * infrared_) return false;
    for (const auto& p : planes) {
        if (p.size() < need) return false;
    }
    if (blocks_ >= lines_ / (rows_ * gap_)) return true;  // past the end of the pass: dropped
    decode_blocks(block.data(), 1, planes, infrared.data());
    return true;
}

error::Result<void> Decoder::push(std::span<const std::uint8_t> bytes, Samples& samples) {
    VX_CHECK(check(samples));
    // A zero-byte block cannot cut a stream: there is nothing to decode, so the bytes are dropped.
    if (block_bytes_ == 0) return {};

    std::size_t at = 0;
    if (!pending_.empty()) {
        const std::size_t want = static_cast<std::size_t>(block_bytes_ - pending_.size());
        const std::size_t n = std::min(want, bytes.size());
        pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        at = n;
        if (pending_.size() < block_bytes_) return {};
        consume_blocks(pending_.data(), 1, samples);
        pending_.clear();
    }
    const std::uint64_t whole = (bytes.size() - at) / block_bytes_;
    if (whole > 0) consume_blocks(bytes.data() + at, whole, samples);
    at += static_cast<std::size_t>(whole * block_bytes_);
    pending_.insert(pending_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    return {};
}

namespace {

// The decoder writes a plane down its columns, one sample a row per line; on 4 KiB pages
// nearly every write of a line is a TLB miss, so large planes ask for huge pages before they
// are first touched. Only a hint: without it the planes work the same, slower.
void sized_zeroed(std::vector<std::uint16_t>& plane, std::uint64_t n) {
    constexpr std::uintptr_t huge = std::uintptr_t{2} << 20;
    if (plane.capacity() < n) {
        plane = std::vector<std::uint16_t>();
        plane.reserve(n);
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(plane.data());
    const std::uintptr_t end = begin + n * sizeof(std::uint16_t);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    if (n * sizeof(std::uint16_t) >= 2 * huge && first < end) {
        madvise(reinterpret_cast<void*>(first), (end - first) & ~(huge - 1), MADV_HUGEPAGE);
    }
    plane.assign(n, 0);
}

}  // namespace

void Samples::resize_for(const Decoder& d) {
    const std::uint64_t n = d.width() * d.lines();
    planes.resize(d.colors());
    for (auto& p : planes) sized_zeroed(p, n);
    if (d.infrared() > 0) {
        if (!infrared) infrared.emplace();
        sized_zeroed(*infrared, n * d.infrared());
    } else {
        infrared.reset();
    }
}

std::vector<std::uint16_t> full_scale_table(std::uint8_t bits) {
    std::vector<std::uint16_t> table(65536);
    if (bits == 0 || bits >= 16) {
        for (std::uint32_t v = 0; v < 65536; ++v) table[v] = static_cast<std::uint16_t>(v);
        return table;
    }
    const std::uint32_t m = (1u << bits) - 1;
    for (std::uint32_t v = 0; v < 65536; ++v) table[v] = static_cast<std::uint16_t>((std::min(v, m) * 65535u + m / 2) / m);
    return table;
}

void Samples::to_full_scale(std::uint8_t bits) {
    if (bits == 0 || bits >= 16) return;
    const auto table = full_scale_table(bits);
    for (auto& p : planes) {
        for (auto& s : p) s = table[s];
    }
    if (infrared) {
        for (auto& s : *infrared) s = table[s];
    }
}

error::Result<Image> Image::partial(const image::Layout& layout, const Samples& samples, std::uint64_t done) {
    VX_TRY(Decoder d, Decoder::make(layout));
    if (samples.planes.size() != d.colors()) {
        return std::unexpected(
            refuse(fmt::format("{} color planes is not the {} this layout describes", samples.planes.size(), d.colors())));
    }
    const std::uint64_t need = d.width() * d.lines();
    for (std::size_t i = 0; i < samples.planes.size(); ++i) {
        if (samples.planes[i].size() < need) {
            return std::unexpected(refuse(fmt::format("color plane {} is {} samples, short of the {} this layout describes", i,
                                                      samples.planes[i].size(), need)));
        }
    }
    const std::uint64_t ir = samples.infrared ? samples.infrared->size() : 0;
    if (ir < need * d.infrared()) {
        return std::unexpected(
            refuse(fmt::format("{} infrared samples is short of the {} this layout describes", ir, need * d.infrared())));
    }
    Image img;
    for (const auto& p : samples.planes) img.planes.emplace_back(p);
    if (samples.infrared) img.infrared = *samples.infrared;
    img.width = d.width();
    img.ready = std::min(d.lines(), done);
    img.lines = d.lines();
    img.bits = layout.bits;
    return img;
}

}  // namespace vexlor::protocol::decode
