// The three operations on one frame: scan, meter, focus. Each runs between the registration of
// the rectangle with the unit and the return of the measured frame table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <utility>
#include <variant>

#include "error.hpp"
#include "protocol/data.hpp"
#include "protocol/decode.hpp"
#include "scan/autoexpose.hpp"
#include "scan/focus.hpp"
#include "scan/pass.hpp"
#include "scan/window.hpp"
#include "session/scan.hpp"

namespace vexlor::session {
class Session;
}

namespace vexlor::dust {
class Workspace;
}

namespace vexlor::scan::frame {

struct ScanOptions {
    const autoexpose::Exposures* exposures = nullptr;  // given: the frame is not metered
    focus::Focus focus;
    bool lock_white_balance = false;
    bool clean = false;
    dust::Workspace* workspace = nullptr;  // the session's, kept from frame to frame; none: one per frame
};

struct Scanned {
    std::optional<std::size_t> cleaned;
    pass::Pass pass;
    autoexpose::Exposures exposures;
    std::optional<std::uint16_t> focus_position;
    focus::Focused focused = focus::Focused::Skipped;
};

// Which pass a progress report belongs to: a metering pass (counted from 1) or the image pass.
struct Stage {
    struct Meter {
        std::size_t pass = 1;
    };
    struct Scan {};
    std::variant<Meter, Scan> value;
};

// Answers true to stop.
using ProgressFn = std::function<bool(const Stage&, const session::scan::Progress&)>;
using Focusing = std::pair<focus::Focused, std::optional<std::uint16_t>>;

// Sends the kept frame-position table back to the unit after an operation that registered.
void put_back(session::Session& session, bool registered);
error::Result<bool> register_for(session::Session& session, const protocol::data::Rect& rect);

// Runs `operation` between registering `rect` and putting the kept frame table back, whatever the
// operation's outcome.
template <class Operation>
auto at_frame(session::Session& session, const protocol::data::Rect& rect, Operation&& operation)
    -> decltype(operation()) {
    auto registered = register_for(session, rect);
    if (!registered) return std::unexpected(std::move(registered).error());
    // Put back on every way out, a throw included.
    struct PutBack {
        session::Session& s;
        bool registered;
        ~PutBack() {
            try {
                put_back(s, registered);
            } catch (const std::bad_alloc&) {
                // Unwinding already: the table stays as the operation left it.
            }
        }
    } putting_back{session, *registered};
    return operation();
}

// Focuses for `rect` and reads the lens position (absent when the unit would not say).
error::Result<Focusing> focus_on(session::Session& session, const protocol::data::Rect& rect, const focus::Focus& focus);

error::Result<Scanned> scan_frame_with(session::Session& session, const window::Recipe& recipe, const protocol::data::Rect& rect,
                                       const ScanOptions& options, protocol::decode::Samples& samples, const ProgressFn& progress);
error::Result<autoexpose::Exposures> meter_frame_with(session::Session& session, const window::Recipe& recipe,
                                                      const protocol::data::Rect& rect, bool lock_white_balance,
                                                      const std::function<bool(std::size_t, const session::scan::Progress&)>& progress);
error::Result<Focusing> focus_frame(session::Session& session, const protocol::data::Rect& rect, const focus::Focus& focus);

}  // namespace vexlor::scan::frame
