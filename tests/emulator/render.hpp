// One pass of the emulated unit: the byte stream it sends for the windows it holds, rendered
// from its film a block at a time as the image READs ask for it.
//
// The stream is the one the pass layout describes: line sets of one record per reading, each
// record the unit's edge bytes around its channel lines; extra lines before and after the pass
// when the unit announced them; within the samples, the colour channels' first reading, the
// infrared channel, then the further readings, with the CCD rows of a multi-row read interleaved
// pixel by pixel. Edge bytes and extra lines hold a filler no picture has.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "emulator/film.hpp"
#include "emulator/pages.hpp"
#include "error.hpp"
#include "protocol/data.hpp"
#include "protocol/image.hpp"
#include "protocol/window.hpp"

namespace vexlor::emulator::render {

inline constexpr std::uint8_t FILLER = 0xE7;

// A window address in the session's measurement unit as an optical address.
std::uint32_t optical(std::uint32_t v, std::uint16_t units, std::uint32_t dpi);

// The capability record a host would build from the model's pages.
protocol::caps::Capabilities capabilities(const ModelValues& meant);

class Stream {
public:
    // The pass of `windows` (in set order) over `film`, in the session's measurement unit.
    static error::Result<Stream> make(const ModelValues& meant, std::vector<protocol::window::Window> windows,
                                      std::uint16_t units, const std::optional<protocol::data::Truncation>& truncation,
                                      std::shared_ptr<const film::Film> film);

    const protocol::image::Layout& layout() const { return layout_; }
    std::uint64_t total() const { return total_; }
    std::uint64_t sent() const { return sent_; }
    // Copies the next bytes of the stream into `out`; fewer at its end.
    std::size_t read(std::span<std::uint8_t> out);

    // Where pixel `x` of output line `line` looks on the film, in optical addresses.
    std::uint32_t film_x(std::uint32_t x) const;
    std::uint32_t film_y(std::uint32_t line) const;
    // How this pass reads the film: its pitches and the unit family's colour gain of a defect.
    const film::Sensor& sensor() const { return sensor_; }
    // The sample the unit means for window `w` (set order) at pixel `x` of output line `line`, at
    // the window's depth, as a host reads it after averaging the readings and correcting the rows.
    std::uint16_t value(std::size_t w, std::uint32_t x, std::uint32_t line) const;
    // The CCD row gain of output line `line`, per mille (1000 where the rows are not read at once).
    std::uint32_t row_gain(std::uint32_t line) const;
    // The same pass over another film (the film without its specks, say), for asking what it
    // would have meant there.
    Stream over(std::shared_ptr<const film::Film> film) const {
        Stream s = *this;
        s.film_ = std::move(film);
        return s;
    }

private:
    Stream() = default;
    void render_block();
    std::uint16_t reading(std::size_t w, std::uint32_t x, std::uint32_t line, std::uint32_t m) const;

    protocol::image::Layout layout_;
    std::vector<protocol::window::Window> windows_;
    std::shared_ptr<const film::Film> film_;
    film::Sensor sensor_;
    std::vector<std::uint32_t> nominal_;    // per window
    std::vector<std::uint32_t> row_gains_;  // per CCD row, when rows are read at once
    std::uint32_t x0_ = 0, y0_ = 0;
    std::uint64_t rows_ = 1, gap_ = 1;
    std::uint64_t total_ = 0;
    std::uint64_t sent_ = 0;

    // Framing: the line set, the record within it, the byte within the record.
    std::uint64_t set_ = 0;
    std::uint32_t record_ = 0;
    std::uint64_t offset_ = 0;

    // The samples of the current block, and how far they are sent.
    std::vector<std::uint8_t> block_;
    std::size_t block_at_ = 0;
    std::uint64_t next_block_ = 0;
};

}  // namespace vexlor::emulator::render
