#include "protocol/decode.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include <fmt/format.h>
#include <sys/mman.h>

#include "flags.hpp"
#include "try.hpp"

namespace vexlor::protocol::decode {

namespace {

error::Error refuse(std::string reason) { return error::Error::unsupported("decode", std::move(reason)); }

bool mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

// Blocks decoded together. A plane is written down its columns, so every block touches a cache
// line in each row; decoding the blocks of a chunk side by side (with the one completed from
// the chunk before) lets each row take all their samples in one run instead of one at a time.
constexpr std::size_t BATCH = 64;

template <unsigned Bytes>
inline std::uint32_t load(const std::uint8_t* p) {
    if constexpr (Bytes == 1) {
        return p[0];
    } else {
        return (std::uint32_t{p[0]} << 8) | p[1];
    }
}

// Where one block's lines land and how its samples are laid out.
struct Shape {
    std::uint64_t width;
    std::uint64_t lines;
    std::uint64_t rows;
    std::uint64_t gap;
    std::uint64_t row_samples;
    std::uint64_t read_samples;
};

std::uint16_t* plane_of(const Slot& slot, std::vector<std::vector<std::uint16_t>>& planes, std::uint16_t* infrared) {
    return slot.color ? planes[slot.plane].data() : infrared;
}

// The correction table of each CCD row, when curves are set: absent for rows past the last
// table. Rows come from a single byte of the layout.
struct Tables {
    std::array<const std::uint16_t*, 256> table;  // the first `rows` are set
    std::array<std::size_t, 256> size;
    // Every row has a table that covers every sample value, so lookups need no checks.
    bool complete = false;

    Tables(const curves::Curves* curves, std::uint64_t rows, unsigned bytes) {
        complete = curves != nullptr;
        for (std::uint64_t t = 0; t < rows && t < table.size(); ++t) {
            const bool has = curves && t < curves->tables.size();
            table[t] = has ? curves->tables[t].data() : nullptr;
            size[t] = has ? curves->tables[t].size() : 0;
            complete = complete && size[t] >= (std::size_t{1} << (8 * bytes));
        }
    }
};

// (sum + readings / 2) / readings without a division. The reciprocal rounded up at 2^32 lifts a
// quotient by less than sum / 2^32, which stays below 2^-8 for sums below 2^24 (at most 256
// readings of 16 bits) and so below 1 / readings: the quotient comes out exact.
struct Average {
    std::uint64_t half;
    std::uint64_t reciprocal;

    explicit Average(std::uint64_t readings)
        : half(readings / 2), reciprocal(((std::uint64_t{1} << 32) + readings - 1) / readings) {}
    std::uint16_t operator()(std::uint64_t sum) const { return static_cast<std::uint16_t>(((sum + half) * reciprocal) >> 32); }
};

// Where each reading of a slot's channel line starts, in bytes from the block's start.
// Readings come from a single byte of the layout.
struct Readings {
    std::array<std::uint64_t, 256> at;
    std::uint64_t count;

    Readings(const Slot& slot, std::uint64_t row_samples, unsigned bytes)
        : count(std::clamp<std::uint64_t>(slot.readings, 1, 256)) {
        for (std::uint64_t m = 0; m < count; ++m) {
            at[m] = (m == 0 ? slot.first : slot.second + (m - 1) * slot.stride) * row_samples * bytes;
        }
    }
};

// The readings of one sample at `p`, corrected and summed.
template <unsigned Bytes, bool Curved>
inline std::uint64_t sum_at(const std::uint8_t* p, const Readings& r, const std::uint16_t* table, std::size_t table_size) {
    std::uint64_t sum = 0;
    for (std::uint64_t m = 0; m < r.count; ++m) {
        std::uint32_t v = load<Bytes>(p + r.at[m]);
        if constexpr (Curved) {
            // A value past the end of a short table is left uncorrected.
            if (v < table_size) v = table[v];
        }
        sum += v;
    }
    return sum;
}

// Blocks of one line (one CCD row, one read), any readings, with or without curves. Blocks
// side by side, so each row takes its sample of every block of the batch in one run; a batch
// of one block keeps the loop lean.
template <unsigned Bytes, bool Curved>
void decode_flat(std::span<const std::uint8_t* const> blocks, std::uint64_t k, const std::vector<Slot>& slots,
                 const Shape& s, const Tables& tables, std::vector<std::vector<std::uint16_t>>& planes,
                 std::uint16_t* infrared) {
    const std::uint64_t width = s.width, lines = s.lines;
    const std::size_t n = blocks.size();
    const std::uint16_t* table = tables.table[0];
    const std::size_t table_size = tables.size[0];
    for (const Slot& slot : slots) {
        const Readings readings(slot, s.row_samples, Bytes);
        const Average average(readings.count);
        std::uint16_t* row = plane_of(slot, planes, infrared) + k + (width - 1) * lines;
        if (n == 1) {
            const std::uint8_t* block = blocks[0];
            for (std::uint64_t x = 0; x < width; ++x, row -= lines) {
                *row = average(sum_at<Bytes, Curved>(block + x * Bytes, readings, table, table_size));
            }
            continue;
        }
        for (std::uint64_t x = 0; x < width; ++x, row -= lines) {
            for (std::size_t b = 0; b < n; ++b) {
                row[b] = average(sum_at<Bytes, Curved>(blocks[b] + x * Bytes, readings, table, table_size));
            }
        }
    }
}

// One block of several lines (several CCD rows or reads) with one reading, tables complete when
// curved: each sample is a load, a lookup and a store. CCD row by CCD row, so one correction
// table is in use at a time and stays cached; each pixel's row takes that CCD row's lines in
// one run.
template <unsigned Bytes, bool Curved>
void decode_rows(const std::uint8_t* block, std::uint64_t k, const std::vector<Slot>& slots, const Shape& s,
                 const Tables& tables, std::vector<std::vector<std::uint16_t>>& planes, std::uint16_t* infrared) {
    const std::uint64_t width = s.width, lines = s.lines, rows = s.rows, gap = s.gap;
    const std::uint64_t read_bytes = s.read_samples * Bytes;
    for (const Slot& slot : slots) {
        const std::uint8_t* line = block + slot.first * s.row_samples * Bytes;
        std::uint16_t* out = plane_of(slot, planes, infrared) + k * rows * gap;
        for (std::uint64_t t = 0; t < rows; ++t) {
            [[maybe_unused]] const std::uint16_t* table = tables.table[t];
            for (std::uint64_t x = 0; x < width; ++x) {
                std::uint16_t* row = out + (width - 1 - x) * lines + t * gap;
                const std::uint8_t* p = line + (x * rows + t) * Bytes;
                for (std::uint64_t o = 0; o < gap; ++o, p += read_bytes) {
                    const std::uint32_t v = load<Bytes>(p);
                    if constexpr (Curved) {
                        *row++ = table[v];
                    } else {
                        *row++ = static_cast<std::uint16_t>(v);
                    }
                }
            }
        }
    }
}

// One block of several lines with several readings or tables that do not cover every value.
template <unsigned Bytes, bool Curved>
void decode_general(const std::uint8_t* block, std::uint64_t k, const std::vector<Slot>& slots, const Shape& s,
                    const Tables& tables, std::vector<std::vector<std::uint16_t>>& planes, std::uint16_t* infrared) {
    const std::uint64_t width = s.width, lines = s.lines, rows = s.rows, gap = s.gap;
    const std::uint64_t read_bytes = s.read_samples * Bytes;
    for (const Slot& slot : slots) {
        const Readings readings(slot, s.row_samples, Bytes);
        const Average average(readings.count);
        std::uint16_t* out = plane_of(slot, planes, infrared) + k * rows * gap;
        for (std::uint64_t x = 0; x < width; ++x) {
            std::uint16_t* row = out + (width - 1 - x) * lines;
            const std::uint8_t* pixel = block + x * rows * Bytes;
            for (std::uint64_t t = 0; t < rows; ++t) {
                const std::uint8_t* p = pixel + t * Bytes;
                for (std::uint64_t o = 0; o < gap; ++o, p += read_bytes) {
                    *row++ = average(sum_at<Bytes, Curved>(p, readings, tables.table[t], tables.size[t]));
                }
            }
        }
    }
}

// Eight samples side by side in one vector; the compilers turn the shuffles below into the
// machine's unpack instructions.
using Lanes = std::uint16_t __attribute__((vector_size(16)));

inline Lanes load8(const std::uint8_t* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = (v << 8) | (v >> 8);
    return v;
}

// r[b] holds pixels x to x + 7 of line b; afterwards r[i] holds pixel x + i of lines 0 to 7.
inline void transpose(Lanes (&r)[8]) {
    const Lanes a0 = __builtin_shufflevector(r[0], r[1], 0, 8, 1, 9, 2, 10, 3, 11);
    const Lanes a1 = __builtin_shufflevector(r[0], r[1], 4, 12, 5, 13, 6, 14, 7, 15);
    const Lanes a2 = __builtin_shufflevector(r[2], r[3], 0, 8, 1, 9, 2, 10, 3, 11);
    const Lanes a3 = __builtin_shufflevector(r[2], r[3], 4, 12, 5, 13, 6, 14, 7, 15);
    const Lanes a4 = __builtin_shufflevector(r[4], r[5], 0, 8, 1, 9, 2, 10, 3, 11);
    const Lanes a5 = __builtin_shufflevector(r[4], r[5], 4, 12, 5, 13, 6, 14, 7, 15);
    const Lanes a6 = __builtin_shufflevector(r[6], r[7], 0, 8, 1, 9, 2, 10, 3, 11);
    const Lanes a7 = __builtin_shufflevector(r[6], r[7], 4, 12, 5, 13, 6, 14, 7, 15);
    const Lanes b0 = __builtin_shufflevector(a0, a2, 0, 1, 8, 9, 2, 3, 10, 11);
    const Lanes b1 = __builtin_shufflevector(a0, a2, 4, 5, 12, 13, 6, 7, 14, 15);
    const Lanes b2 = __builtin_shufflevector(a1, a3, 0, 1, 8, 9, 2, 3, 10, 11);
    const Lanes b3 = __builtin_shufflevector(a1, a3, 4, 5, 12, 13, 6, 7, 14, 15);
    const Lanes b4 = __builtin_shufflevector(a4, a6, 0, 1, 8, 9, 2, 3, 10, 11);
    const Lanes b5 = __builtin_shufflevector(a4, a6, 4, 5, 12, 13, 6, 7, 14, 15);
    const Lanes b6 = __builtin_shufflevector(a5, a7, 0, 1, 8, 9, 2, 3, 10, 11);
    const Lanes b7 = __builtin_shufflevector(a5, a7, 4, 5, 12, 13, 6, 7, 14, 15);
    r[0] = __builtin_shufflevector(b0, b4, 0, 1, 2, 3, 8, 9, 10, 11);
    r[1] = __builtin_shufflevector(b0, b4, 4, 5, 6, 7, 12, 13, 14, 15);
    r[2] = __builtin_shufflevector(b1, b5, 0, 1, 2, 3, 8, 9, 10, 11);
    r[3] = __builtin_shufflevector(b1, b5, 4, 5, 6, 7, 12, 13, 14, 15);
    r[4] = __builtin_shufflevector(b2, b6, 0, 1, 2, 3, 8, 9, 10, 11);
    r[5] = __builtin_shufflevector(b2, b6, 4, 5, 6, 7, 12, 13, 14, 15);
    r[6] = __builtin_shufflevector(b3, b7, 0, 1, 2, 3, 8, 9, 10, 11);
    r[7] = __builtin_shufflevector(b3, b7, 4, 5, 6, 7, 12, 13, 14, 15);
}

// Pixels x to x + 7 of N lines (N from 1 to 8) starting at src[0..N), as N consecutive samples
// of each pixel's row; `row` is pixel x's, and each later pixel's row lies `lines` before it.
template <unsigned N>
inline void transpose_into(const std::uint8_t* const* src, std::uint64_t x, std::uint16_t* row, std::uint64_t lines) {
    Lanes r[8] = {};
#pragma GCC unroll 8
    for (unsigned b = 0; b < N; ++b) r[b] = load8(src[b] + 2 * x);
    transpose(r);
#pragma GCC unroll 8
    for (unsigned i = 0; i < 8; ++i) std::memcpy(row - i * lines, &r[i], N * sizeof(std::uint16_t));
}

// One channel's line from each of n blocks, eight pixels at a time: every row takes its n
// samples in one run. Tail is n modulo 8.
template <unsigned Tail>
void transpose_slot(const std::uint8_t* const* src, std::uint64_t n, std::uint64_t width, std::uint64_t lines,
                    std::uint16_t* out) {
    const std::uint64_t groups = n / 8;
    const std::uint64_t whole = width - width % 8;
    for (std::uint64_t x = 0; x < whole; x += 8) {
        std::uint16_t* row = out + (width - 1 - x) * lines;
        for (std::uint64_t g = 0; g < groups; ++g) transpose_into<8>(src + 8 * g, x, row + 8 * g, lines);
        if constexpr (Tail != 0) transpose_into<Tail>(src + 8 * groups, x, row + 8 * groups, lines);
    }
    for (std::uint64_t x = whole; x < width; ++x) {
        std::uint16_t* row = out + (width - 1 - x) * lines;
        for (std::uint64_t b = 0; b < n; ++b) row[b] = static_cast<std::uint16_t>(load<2>(src[b] + 2 * x));
    }
}

// The common case: one CCD row, one read a block, one reading, 2-byte samples, no curves.
void decode_fast(std::span<const std::uint8_t* const> blocks, std::uint64_t k, const std::vector<Slot>& slots,
                 const Shape& s, std::vector<std::vector<std::uint16_t>>& planes, std::uint16_t* infrared) {
    std::array<const std::uint8_t*, BATCH> src{};
    const std::uint64_t n = blocks.size();
    for (const Slot& slot : slots) {
        for (std::uint64_t b = 0; b < n; ++b) src[b] = blocks[b] + slot.first * s.row_samples * 2;
        std::uint16_t* out = plane_of(slot, planes, infrared) + k;
        if (n == 1) {
            // One line has nothing to transpose: walk the plane upwards, the source downwards.
            std::uint16_t* row = out;
            for (std::uint64_t x = s.width; x-- > 0; row += s.lines) *row = static_cast<std::uint16_t>(load<2>(src[0] + 2 * x));
            continue;
        }
        switch (n % 8) {
            case 0: transpose_slot<0>(src.data(), n, s.width, s.lines, out); break;
            case 1: transpose_slot<1>(src.data(), n, s.width, s.lines, out); break;
            case 2: transpose_slot<2>(src.data(), n, s.width, s.lines, out); break;
            case 3: transpose_slot<3>(src.data(), n, s.width, s.lines, out); break;
            case 4: transpose_slot<4>(src.data(), n, s.width, s.lines, out); break;
            case 5: transpose_slot<5>(src.data(), n, s.width, s.lines, out); break;
            case 6: transpose_slot<6>(src.data(), n, s.width, s.lines, out); break;
            default: transpose_slot<7>(src.data(), n, s.width, s.lines, out); break;
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
    const image::Block block = layout.block();
    d.rows_ = block.rows;
    d.gap_ = block.gap;
    if (d.gap_ == 0) {
        return std::unexpected(refuse(fmt::format(
            "a scanning pitch of {} puts all the CCD rows on one output line, so the decoder cannot separate a multi-line read",
            layout.y_pitch)));
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

void Decoder::decode_batch(std::span<const std::uint8_t* const> blocks, std::vector<std::vector<std::uint16_t>>& planes,
                           std::uint16_t* infrared) {
    const std::uint64_t k = blocks_;
    if (width_ != 0 && !slots_.empty()) {
        const Shape shape{width_, lines_, rows_, gap_, row_samples_, read_samples_};
        const curves::Curves* c = curves && !curves->tables.empty() ? curves.get() : nullptr;
        const Tables tables(c, rows_, static_cast<unsigned>(sample_bytes_));
        if (rows_ == 1 && gap_ == 1) {
            if (readings_ == 1 && sample_bytes_ == 2 && c == nullptr) {
                decode_fast(blocks, k, slots_, shape, planes, infrared);
            } else if (sample_bytes_ == 1) {
                if (c) decode_flat<1, true>(blocks, k, slots_, shape, tables, planes, infrared);
                else decode_flat<1, false>(blocks, k, slots_, shape, tables, planes, infrared);
            } else {
                if (c) decode_flat<2, true>(blocks, k, slots_, shape, tables, planes, infrared);
                else decode_flat<2, false>(blocks, k, slots_, shape, tables, planes, infrared);
            }
        } else {
            // A block of several lines already gives each row a run of samples.
            const bool lookups = readings_ == 1 && (c == nullptr || tables.complete);
            const auto kernel = lookups ? (sample_bytes_ == 1 ? (c ? &decode_rows<1, true> : &decode_rows<1, false>)
                                                              : (c ? &decode_rows<2, true> : &decode_rows<2, false>))
                                        : (sample_bytes_ == 1 ? (c ? &decode_general<1, true> : &decode_general<1, false>)
                                                              : (c ? &decode_general<2, true> : &decode_general<2, false>));
            for (std::size_t i = 0; i < blocks.size(); ++i) kernel(blocks[i], k + i, slots_, shape, tables, planes, infrared);
        }
    }
    blocks_ = k + blocks.size();
}

void Decoder::consume(std::span<const std::uint8_t* const> blocks, Samples& samples) {
    const std::uint64_t total = lines_ / (rows_ * gap_);
    const std::uint64_t left = blocks_ < total ? total - blocks_ : 0;
    const std::uint64_t n = std::min<std::uint64_t>(blocks.size(), left);  // blocks past the end are dropped
    if (n == 0) return;
    std::uint16_t* ir = samples.infrared ? samples.infrared->data() : nullptr;
    decode_batch(blocks.first(n), samples.planes, ir);
}

bool Decoder::take(std::span<const std::uint8_t> block, std::vector<std::vector<std::uint16_t>>& planes,
                   std::span<std::uint16_t> infrared) {
    const std::uint64_t need = width_ * lines_;
    if (block.size() < block_bytes_ || planes.size() != colors_ || infrared.size() < need * infrared_) return false;
    for (const auto& p : planes) {
        if (p.size() < need) return false;
    }
    if (blocks_ >= lines_ / (rows_ * gap_)) return true;  // past the end of the pass: dropped
    const std::uint8_t* const one[] = {block.data()};
    decode_batch(one, planes, infrared.data());
    return true;
}

void Decoder::gather(std::size_t blocks) {
    gather_ = std::clamp<std::size_t>(blocks, 1, BATCH);
    if (block_bytes_ != 0) pending_.reserve(static_cast<std::size_t>(block_bytes_) * gather_);
}

void Decoder::decode_pending(Samples& samples) {
    const std::size_t whole = static_cast<std::size_t>(pending_.size() / block_bytes_);
    if (whole == 0) return;
    std::array<const std::uint8_t*, BATCH> batch{};
    for (std::size_t done = 0; done < whole;) {
        const std::size_t n = std::min(whole - done, batch.size());
        for (std::size_t i = 0; i < n; ++i) batch[i] = pending_.data() + (done + i) * block_bytes_;
        consume(std::span(batch).first(n), samples);
        done += n;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole * block_bytes_));
}

error::Result<void> Decoder::flush(Samples& samples) {
    VX_CHECK(check(samples));
    if (block_bytes_ != 0) decode_pending(samples);
    return {};
}

error::Result<void> Decoder::push(std::span<const std::uint8_t> bytes, Samples& samples) {
    VX_CHECK(check(samples));
    // A zero-byte block cannot cut a stream: there is nothing to decode, so the bytes are dropped.
    if (block_bytes_ == 0) return {};
    if (gather_ > 1) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        if (pending_.size() >= gather_ * block_bytes_) decode_pending(samples);
        return {};
    }

    // The block completed in `pending_` goes first into the batch with the chunk's own blocks,
    // which are decoded where they lie.
    std::array<const std::uint8_t*, BATCH> batch{};
    std::size_t n = 0;
    std::size_t at = 0;
    if (!pending_.empty()) {
        const std::size_t want = static_cast<std::size_t>(block_bytes_ - pending_.size());
        at = std::min(want, bytes.size());
        pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        if (pending_.size() < block_bytes_) return {};
        batch[n++] = pending_.data();
    }
    const std::uint64_t whole = (bytes.size() - at) / block_bytes_;
    for (std::uint64_t i = 0; i < whole; ++i) {
        batch[n++] = bytes.data() + at + i * block_bytes_;
        if (n == batch.size()) {
            consume(batch, samples);
            n = 0;
        }
    }
    if (n > 0) consume(std::span(batch).first(n), samples);
    at += static_cast<std::size_t>(whole * block_bytes_);
    pending_.clear();
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
