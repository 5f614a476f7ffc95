// Which scanners are on this machine, which one a caller means, and how to open a link to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "error.hpp"
#include "protocol/caps/identity.hpp"
#include "protocol/model.hpp"
#include "transport/transport.hpp"
#include "transport/usb.hpp"

namespace vexlor::device {

// Where a unit is attached; its text is the location string.
struct Attach {
    struct Usb {
        std::string bus_id;                    // three decimal digits with leading zeros
        std::vector<std::uint8_t> port_chain;  // from the root hub down
        bool operator==(const Usb&) const = default;
    };
    struct Scsi {
        std::string path;
        bool operator==(const Scsi&) const = default;
    };
    std::variant<Usb, Scsi> value;
    bool operator==(const Attach&) const = default;
};

// "usb:003-1.4" or the node's path.
std::string to_string(const Attach& a);

// A snapshot of one scanner found by `list`; nothing it holds is open.
struct Device {
    Attach attach;
    std::optional<protocol::caps::identity::Identity> identity;
    bool answered = false;  // the unit could be opened, so the probe was sent
    std::optional<protocol::model::Model> model;

    std::string name() const;
    error::Result<std::unique_ptr<transport::Transport>> open() const;
    bool operator==(const Device&) const = default;
};

struct SelectError {
    struct NoMatch {
        bool operator==(const NoMatch&) const = default;
    };
    struct Ambiguous {
        std::vector<std::string> locations;  // in list order
        bool operator==(const Ambiguous&) const = default;
    };
    std::variant<NoMatch, Ambiguous> value;
    bool operator==(const SelectError&) const = default;
};

std::string to_string(const SelectError& e);

// Which scanner a caller wants.
struct Selector {
    struct Location {
        std::string text;
        bool operator==(const Location&) const = default;
    };
    std::variant<Location> value;

    static Selector location(std::string text) { return {Location{std::move(text)}}; }
    std::expected<const Device*, SelectError> resolve(std::span<const Device> devices) const;
};

// USB units first, then SCSI generic nodes that answer as scanners (and nodes another process
// holds, as in use). Never fails; blocks while it probes (up to the probe's time-out for each
// unit that does not answer). Once `stop` is set no further unit is probed, and the probe in
// flight is cut short.
std::vector<Device> list(const std::atomic<bool>* stop = nullptr);

// The device `list` would give for this location (matched as `Selector::location` matches),
// found by asking only the unit at that location; `stop` cuts its probe short.
std::expected<Device, SelectError> locate(std::string_view location, const std::atomic<bool>* stop = nullptr);

// The attached USB units of the supported product ids, in the library's order; empty when
// enumeration fails.
std::vector<transport::usb::UsbDevice> usb_devices();

// One INQUIRY; the identity only when the unit answered fully, as a scanner.
std::optional<protocol::caps::identity::Identity> probe(transport::Transport& transport);

}  // namespace vexlor::device

template <>
struct fmt::formatter<vexlor::device::Attach> : fmt::formatter<std::string> {
    auto format(const vexlor::device::Attach& a, fmt::format_context& ctx) const {
        return fmt::formatter<std::string>::format(vexlor::device::to_string(a), ctx);
    }
};
