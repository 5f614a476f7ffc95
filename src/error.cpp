#include "error.hpp"

#include "text.hpp"

namespace vexlor::error {

using namespace protocol::sense;

Error::Error(protocol::caps::Error e) : value(Device{std::make_shared<const Fault>(Fault{Fault::Caps{std::move(e)}})}) {}

Error::Error(Fault f) : value(Device{std::make_shared<const Fault>(std::move(f))}) {}

Error Error::from_outcome(const Interpretation& i, const transport::Reply& reply) {
    if (const auto* v = std::get_if<Interpretation::Intervene>(&i.value)) return Error(Media{v->detail});
    if (const auto* v = std::get_if<Interpretation::Contended>(&i.value)) return Error(Busy{v->detail});
    if (const auto* v = std::get_if<Interpretation::Rejected>(&i.value)) {
        return Error(Fault{Fault::Rejected{v->detail, reply.sense}});
    }
    if (const auto* v = std::get_if<Interpretation::Failed>(&i.value)) {
        return Error(Fault{Fault::Reported{v->detail, reply.sense}});
    }
    // Callers pass only failing classes; this keeps the function total.
    return Error(Fault{Fault::Reported{Failure{Failure::Unrecognized{}}, reply.sense}});
}

const Fault* Error::fault() const {
    const auto* d = get_if<Device>();
    return d ? d->fault.get() : nullptr;
}

bool Error::is_media(Intervention intervention) const {
    const auto* m = get_if<Media>();
    return m && m->intervention == intervention;
}

bool Error::is_refusal(Refusal refusal) const {
    const auto* f = fault();
    const auto* r = f ? std::get_if<Fault::Rejected>(&f->value) : nullptr;
    return r && r->refusal == refusal;
}

std::string to_string(const Error& e) {
    struct V {
        std::string operator()(const Error::Transport& t) const { return transport::to_string(t.error); }
        std::string operator()(const Error::Busy& b) const { return protocol::sense::to_string(b.contention); }
        std::string operator()(const Error::Media& m) const { return protocol::sense::to_string(m.intervention); }
        std::string operator()(const Error::NotFound&) const { return "no such scanner"; }
        std::string operator()(const Error::Unsupported& u) const {
            return u.op + " is not supported" + (u.reason.empty() ? "" : ": " + u.reason);
        }
        std::string operator()(const Error::Cancelled&) const { return "scan cancelled"; }
        std::string operator()(const Error::Device& d) const { return protocol::sense::to_string(*d.fault); }
    };
    return std::visit(V{}, e.value);
}

std::string debug_string(const Error& e) {
    struct V {
        std::string operator()(const Error::Transport& t) const { return "Transport(" + transport::debug_string(t.error) + ")"; }
        std::string operator()(const Error::Busy& b) const { return "Busy(" + protocol::sense::debug_string(b.contention) + ")"; }
        std::string operator()(const Error::Media& m) const { return "Media(" + protocol::sense::debug_string(m.intervention) + ")"; }
        std::string operator()(const Error::NotFound&) const { return "NotFound"; }
        std::string operator()(const Error::Unsupported& u) const {
            return fmt::format("Unsupported {{ op: {}, reason: {} }}", text::quoted(u.op), text::quoted(u.reason));
        }
        std::string operator()(const Error::Cancelled&) const { return "Cancelled"; }
        std::string operator()(const Error::Device& d) const { return "Device(" + protocol::sense::debug_string(*d.fault) + ")"; }
    };
    return std::visit(V{}, e.value);
}

}  // namespace vexlor::error
