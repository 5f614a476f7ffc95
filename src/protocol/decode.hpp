// Turns the unit's image byte stream into rotated 16-bit planes: one row per pixel across the
// line, one column per scanner line, the first pixel of a line in the last row.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "protocol/curves.hpp"
#include "protocol/image.hpp"

namespace vexlor::protocol::decode {

class Decoder;

struct Samples {
    std::vector<std::vector<std::uint16_t>> planes;  // one per colour window, in set order
    std::optional<std::vector<std::uint16_t>> infrared;

    // Sizes and zero-fills the planes for a decoder, reusing their storage.
    void resize_for(const Decoder& decoder);
    // Stretches samples of 1 to 15 bits to the full 16-bit range; other depths stay as they are.
    void to_full_scale(std::uint8_t bits);
    bool operator==(const Samples&) const = default;
};

// The table `to_full_scale` applies: 65,536 entries.
std::vector<std::uint16_t> full_scale_table(std::uint8_t bits);

// Where one window's channel lines sit within a read.
struct Slot {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::uint64_t stride = 0;
    std::uint64_t readings = 1;
    std::uint64_t plane = 0;
    bool color = true;

    static std::vector<Slot> every(std::span<const window::Channel> channels, std::uint8_t readings);
    bool operator==(const Slot&) const = default;
};

class Decoder {
public:
    static error::Result<Decoder> make(const image::Layout& layout);

    // Decodes one chunk of the stream; chunks may cut blocks anywhere.
    error::Result<void> push(std::span<const std::uint8_t> bytes, Samples& samples);
    // Lets `push` hold up to `blocks` whole blocks back and decode them together: a block of one
    // line written alone touches a cache line per sample of every plane, several at once share
    // them. Held blocks reach the planes at the latest with `flush`. 1 (the default) holds none.
    void gather(std::size_t blocks);
    error::Result<void> flush(Samples& samples);
    // Decodes one whole block into planes already checked to fit; false (nothing written) when
    // the block or the planes are too small.
    bool take(std::span<const std::uint8_t> block, std::vector<std::vector<std::uint16_t>>& planes,
              std::span<std::uint16_t> infrared);

    const std::vector<Slot>& slots() const { return slots_; }
    std::uint64_t width() const { return width_; }
    std::uint64_t lines() const { return lines_; }
    std::uint64_t rows() const { return rows_; }
    std::uint64_t gap() const { return gap_; }
    std::uint64_t colors() const { return colors_; }
    std::uint64_t infrared() const { return infrared_; }
    std::uint64_t row_samples() const { return row_samples_; }
    std::uint64_t read_samples() const { return read_samples_; }
    std::uint64_t sample_bytes() const { return sample_bytes_; }
    std::uint64_t block_bytes() const { return block_bytes_; }
    std::uint64_t blocks() const { return blocks_; }
    std::size_t pending() const { return pending_.size(); }
    // Whole blocks held back by `gather`.
    std::uint64_t held() const { return block_bytes_ == 0 ? 0 : pending_.size() / block_bytes_; }

    // Set by the pass engine before the first push; table t corrects CCD row t.
    std::shared_ptr<const curves::Curves> curves;

private:
    Decoder() = default;
    error::Result<void> check(const Samples& samples) const;
    // Decodes whole blocks, the next ones of the pass in order, each from where it lies; all
    // lie before the end of the pass.
    void decode_batch(std::span<const std::uint8_t* const> blocks, std::vector<std::vector<std::uint16_t>>& planes,
                      std::uint16_t* infrared);
    // Decodes the blocks that lie before the end of the pass and drops the rest.
    void consume(std::span<const std::uint8_t* const> blocks, Samples& samples);

    std::vector<Slot> slots_;
    std::uint64_t width_ = 0;
    std::uint64_t lines_ = 0;
    std::uint64_t rows_ = 1;
    std::uint64_t gap_ = 1;
    std::uint64_t colors_ = 0;
    std::uint64_t infrared_ = 0;
    std::uint64_t row_samples_ = 0;
    std::uint64_t read_samples_ = 0;
    std::uint64_t sample_bytes_ = 2;
    std::uint64_t block_bytes_ = 0;
    std::uint64_t readings_ = 1;
    // Decodes the whole blocks at the front of `pending_`, keeping the part block after them.
    void decode_pending(Samples& samples);

    std::vector<std::uint8_t> pending_;
    std::uint64_t blocks_ = 0;
    std::size_t gather_ = 1;
};

// A read-only view of the planes of a pass while or after it is decoded.
struct Image {
    std::vector<std::span<const std::uint16_t>> planes;
    std::span<const std::uint16_t> infrared;
    std::uint64_t width = 0;
    std::uint64_t ready = 0;
    std::uint64_t lines = 0;
    std::uint8_t bits = 0;

    static error::Result<Image> partial(const image::Layout& layout, const Samples& samples, std::uint64_t done);
};

}  // namespace vexlor::protocol::decode
