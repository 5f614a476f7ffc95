// Where the frames on the loaded film are: four ways of finding them, and the registration of a
// single rectangle with a unit that positions film by perforations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/caps/film.hpp"
#include "protocol/data.hpp"
#include "protocol/decode.hpp"
#include "scan/pass.hpp"
#include "scan/thumbnail.hpp"
#include "session/scan.hpp"

namespace vexlor::session {
class Session;
}

namespace vexlor::scan::framing {

enum class Framing { Published, Thumbnail, Perforation, Address };
std::string to_string(Framing f);
// The name the Python module uses: "published", "thumbnail", "perforation", "address".
std::string python_name(Framing f);

struct Discovered {
    protocol::data::FrameTable table;
    std::vector<protocol::data::Rect> frames;
    std::optional<thumbnail::LinePitch> pitch;
    std::optional<pass::Pass> thumbnail;
    std::optional<float> contrast;
};

// The mechanism the unit's capabilities select.
Framing choose(const protocol::caps::Capabilities& caps);

// A format's frame length in 1/4000 inch, and a length in 1/4000 inch as feed addresses.
std::uint32_t frame_length(protocol::caps::film::FilmFormat format);
std::uint32_t feed_addresses(const protocol::caps::Capabilities& caps, std::uint32_t length);

// Frames at the fixed pitch of the address page.
error::Result<Discovered> frames(const protocol::caps::Capabilities& caps);

error::Result<Discovered> discover_with(session::Session& session, std::optional<protocol::caps::film::FilmFormat> format,
                                        protocol::decode::Samples& samples, const session::scan::ProgressFn& progress);

// Enters `rect` in the unit's frame-position table for the next pass, where the unit needs it:
// true when it did. (`register` is a keyword.)
error::Result<bool> register_frame(session::Session& session, const protocol::data::Rect& rect);

}  // namespace vexlor::scan::framing
