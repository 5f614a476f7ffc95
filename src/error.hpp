// The one error type above the link. Errors pass through the layers unchanged and become
// Python exceptions in one table at the module boundary.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <variant>

#include <fmt/format.h>

#include "protocol/caps/page.hpp"
#include "protocol/sense.hpp"
#include "transport/transport.hpp"

namespace vexlor::error {

class Error {
public:
    struct Transport {
        transport::Error error;
        bool operator==(const Transport&) const = default;
    };
    struct Busy {
        protocol::sense::Contention contention;
        bool operator==(const Busy&) const = default;
    };
    struct Media {
        protocol::sense::Intervention intervention;
        bool operator==(const Media&) const = default;
    };
    struct NotFound {
        bool operator==(const NotFound&) const = default;
    };
    struct Unsupported {
        std::string op;      // the operation label
        std::string reason;  // may be empty
        bool operator==(const Unsupported&) const = default;
    };
    struct Cancelled {
        bool operator==(const Cancelled&) const = default;
    };
    // Held behind one owned pointer so the error stays small; copying copies the fault.
    struct Device {
        std::shared_ptr<const protocol::sense::Fault> fault;
        bool operator==(const Device& o) const { return *fault == *o.fault; }
    };
    using Variant = std::variant<Transport, Busy, Media, NotFound, Unsupported, Cancelled, Device>;

    Error(Variant v) : value(std::move(v)) {}
    // A command cut short on our own word is a cancel, whichever command it was.
    Error(transport::Error e)
        : value(e.is_interrupted() ? Variant(Cancelled{}) : Variant(Transport{std::move(e)})) {}
    Error(protocol::caps::Error e);
    Error(protocol::sense::Fault f);

    static Error unsupported(std::string op, std::string reason) { return Error(Unsupported{std::move(op), std::move(reason)}); }
    static Error not_found() { return Error(NotFound{}); }
    static Error cancelled() { return Error(Cancelled{}); }
    // The error for a reply whose class the caller treats as a failure.
    static Error from_outcome(const protocol::sense::Interpretation& interpretation, const transport::Reply& reply);

    template <class T>
    const T* get_if() const { return std::get_if<T>(&value); }
    // The unit's fault, for a Device error.
    const protocol::sense::Fault* fault() const;
    bool is_media(protocol::sense::Intervention intervention) const;
    bool is_refusal(protocol::sense::Refusal refusal) const;
    // A Device error holding Reported with the failure case F.
    template <class F>
    bool is_failure() const {
        const auto* f = fault();
        const auto* r = f ? std::get_if<protocol::sense::Fault::Reported>(&f->value) : nullptr;
        return r && std::holds_alternative<F>(r->failure.value);
    }
    bool operator==(const Error&) const = default;

    Variant value;
};

template <class T>
using Result = std::expected<T, Error>;

std::string to_string(const Error& e);
std::string debug_string(const Error& e);

}  // namespace vexlor::error

template <>
struct fmt::formatter<vexlor::error::Error> : fmt::formatter<std::string> {
    auto format(const vexlor::error::Error& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string>::format(vexlor::error::to_string(e), ctx);
    }
};
