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

inline Exception exception_for(const error::Error& e) {
    struct V {
        Exception operator()(const error::Error::Transport&) const { return Exception::TransportError; }
        Exception operator()(const error::Error::Busy&) const { return Exception::DeviceBusy; }
        Exception operator()(const error::Error::Media&) const { return Exception::MediaError; }
        Exception operator()(const error::Error::NotFound&) const { return Exception::DeviceNotFound; }
        Exception operator()(const error::Error::Unsupported&) const { return Exception::UnsupportedError; }
        Exception operator()(const error::Error::Cancelled&) const { return Exception::ScanCancelled; }
        Exception operator()(const error::Error::Device&) const { return Exception::ScannerError; }
    };
    return std::visit(V{}, e.value);
}

// The message is the error's own text, but for UnsupportedError, whose message keeps the colon
// and blank even for an empty reason.
inline Mapped map_error(const error::Error& e) {
    if (const auto* u = e.get_if<error::Error::Unsupported>()) {
        return {Exception::UnsupportedError, u->op + ": " + u->reason, u->op, u->reason};
    }
    return {exception_for(e), error::to_string(e), {}, {}};
}

}  // namespace vexlor::python
