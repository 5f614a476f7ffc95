// What a caller asks of one frame's pass, turned into the unit's windows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/data.hpp"
#include "protocol/window.hpp"

namespace vexlor::scan::window {

struct Recipe {
    std::uint16_t dpi = 0;
    std::uint8_t samples = 1;       // readings of each line, 1 to 16
    std::uint8_t interleaving = 0;  // one ColorInterleaving bit: 0x02 or 0x40
    bool infrared = false;

    // Every check against the unit, the first refusal returned.
    error::Result<void> supported(const protocol::caps::Capabilities& caps) const;
    // One window per channel over `rect`, infrared first when asked for.
    error::Result<std::vector<protocol::window::Window>> windows(const protocol::caps::Capabilities& caps,
                                                                 const protocol::data::Rect& rect) const;
};

inline constexpr std::uint8_t MAX_READINGS = 16;

// Makes the length of a window set (all one pass) a whole number of decoder blocks at the
// set's own pitch along the film, as `Recipe::windows` does for its own: for passes built at
// another resolution than a recipe's. Refused when not one block fits.
error::Result<void> fit_blocks(const protocol::caps::Capabilities& caps, std::span<protocol::window::Window> windows);

// How many optical lines make one output line at `dpi`.
std::uint32_t feed_step(const protocol::caps::Capabilities& caps, std::uint16_t dpi);
// The line block along the film: CCD rows times the line gap, in feed addresses.
std::uint32_t line_block(const protocol::caps::Capabilities& caps);
// The interleaving a scan uses: all CCD rows at once where the unit can and the resolution allows.
std::uint8_t interleaving_for(const protocol::caps::Capabilities& caps, std::uint16_t dpi, bool superfine);

// Red, green and blue where the unit takes separate colour windows, else the default channel alone.
std::vector<protocol::window::Channel> color_channels(const protocol::caps::Capabilities& caps);

// One blank window per channel, in order, at the unit's deepest pixel depth.
error::Result<std::vector<protocol::window::Window>> blank(std::uint8_t depths,
                                                           std::span<const protocol::window::Channel> channels);

// Whether a frame can be worked on, before anything is sent: it must overlap what the unit's
// windows can reach (a frame that overlaps is clamped by `Recipe::windows`), and with a recipe,
// give at least one pixel each way at its resolution. `units` is the session's divisor.
error::Result<void> check_frame(const protocol::caps::Capabilities& caps, std::uint16_t units,
                                const protocol::data::Rect& rect, const Recipe* recipe);

// A length along the film rounded to whole line blocks and kept within the axis's reach.
std::uint32_t reachable_blocks(const protocol::caps::Capabilities& caps, std::uint32_t length);

}  // namespace vexlor::scan::window
