// How a frame is metered, and exposure times per channel.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/window.hpp"
#include "scan/meter.hpp"

namespace vexlor::scan::autoexpose {

struct AutoExposure {
    struct Unit {
        protocol::caps::set_window::ScanKind kind;  // AE or AE_WB
        bool operator==(const Unit&) const = default;
    };
    struct Host {
        meter::Metering metering;
        bool operator==(const Host&) const = default;
    };
    std::variant<Unit, Host> value;
    bool operator==(const AutoExposure&) const = default;
};
std::string debug_string(const AutoExposure& a);

// Exposure time per channel in ten-nanosecond units, in channel order.
class Exposures {
public:
    using Map = std::map<protocol::window::Channel, std::uint32_t>;

    Exposures() = default;
    explicit Exposures(Map m) : map_(std::move(m)) {}

    // The later window's time wins where two share a channel.
    static Exposures read(std::span<const protocol::window::Window> windows);
    // Gives every window whose channel has an entry that time.
    void apply(std::span<protocol::window::Window> windows) const;
    const Map& iter() const { return map_; }
    Map& entries() { return map_; }
    bool operator==(const Exposures&) const = default;

private:
    Map map_;
};

// The windows of a metering pass: coarse, each line read once, fast where the unit can be; a
// pass reading all CCD rows at once keeps whole decoder blocks at its own coarse pitch.
error::Result<std::vector<protocol::window::Window>> prescan_windows(const protocol::caps::Capabilities& caps,
                                                      std::span<const protocol::window::Window> windows);

}  // namespace vexlor::scan::autoexpose
