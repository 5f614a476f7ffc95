// Everything the unit reported about itself, in one record: built by the session's probe,
// replaced whole after every unit attention, read by every other module.
#pragma once

#include <optional>

#include "protocol/caps/address.hpp"
#include "protocol/caps/ccd.hpp"
#include "protocol/caps/frames.hpp"
#include "protocol/caps/identity.hpp"
#include "protocol/caps/other.hpp"
#include "protocol/caps/page.hpp"
#include "protocol/caps/set_window.hpp"

namespace vexlor::protocol::caps {

struct Capabilities {
    identity::Identity identity;
    std::optional<ccd::CcdMeasurement> ccd;  // absent when the unit refuses VPD E3
    std::optional<frames::Frames> frames;    // present only when the address page announces a published table
    set_window::SetWindowFunction set_window;
    other::Features features;
    address::Address address;
    bool operator==(const Capabilities&) const = default;
};

}  // namespace vexlor::protocol::caps
