// The one table from error::Error to the exception a Python caller sees. Pure, so it can be
// tested without an interpreter; errors.hpp raises what it decides.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "error.hpp"

namespace vexlor::python {

// The module's exception classes, in the order they are added to the module.
enum class Exception {
    ScannerError,
    TransientError,
    TransportError,
    DeviceBusy,
    DeviceNotFound,
    MediaError,
    UnsupportedError,
    ScanCancelled,
};

struct Mapped {
    Exception type;
    std::string message;
    // Set for UnsupportedError only: its .op and .reason.
    std::optional<std::string> op;
    std::optional<std::string> reason;
    bool operator==(const Mapped&) const = default;
};

inline Mapped map_error(const error::Error& e) {
    struct V {
        Mapped operator()(const error::Error::Transport& t) const {
            return {Exception::TransportError, transport::to_string(t.error), {}, {}};
        }
        Mapped operator()(const error::Error::Busy& b) const {
            return {Exception::DeviceBusy, protocol::sense::to_string(b.contention), {}, {}};
        }
        Mapped operator()(const error::Error::Media& m) const {
            return {Exception::MediaError, protocol::sense::to_string(m.intervention), {}, {}};
        }
        Mapped operator()(const error::Error::NotFound&) const { return {Exception::DeviceNotFound, "no such scanner", {}, {}}; }
        Mapped operator()(const error::Error::Unsupported& u) const {
            // Unlike the error's own text, the colon and blank stay even for an empty reason.
            std::string message = u.op + ": " + u.reason;
            return {Exception::UnsupportedError, std::move(message), u.op, u.reason};
        }
        Mapped operator()(const error::Error::Cancelled&) const { return {Exception::ScanCancelled, "scan cancelled", {}, {}}; }
        Mapped operator()(const error::Error::Device& d) const {
            return {Exception::ScannerError, protocol::sense::to_string(*d.fault), {}, {}};
        }
    };
    return std::visit(V{}, e.value);
}

}  // namespace vexlor::python
