#include "device/device.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include "text.hpp"

namespace vexlor::device {

namespace {

constexpr std::chrono::seconds probe_timeout{5};


}  // namespace

std::string to_string(const Attach& a) {
    if (const auto* s = std::get_if<Attach::Scsi>(&a.value)) return s->path;
    const auto& u = std::get<Attach::Usb>(a.value);
    std::string out = "usb:" + u.bus_id + "-";
    for (std::size_t i = 0; i < u.port_chain.size(); ++i) {
        if (i) out += '.';
        out += std::to_string(u.port_chain[i]);
    }
    return out;
}

std::string Device::name() const {
    if (identity) return identity->vendor + " " + identity->product;
    std::string_view state = answered ? "no answer" : "in use";
    if (model) return fmt::format("{} ({})", protocol::model::name(*model), state);
    return fmt::format("({})", state);
}

std::string to_string(const SelectError& e) {
    if (std::holds_alternative<SelectError::NoMatch>(e.value)) return "no scanner matched";
    std::string joined;
    for (const auto& l : std::get<SelectError::Ambiguous>(e.value).locations) {
        if (!joined.empty()) joined += ", ";
        joined += l;
    }
    return "more than one scanner matched: " + joined;
}

std::expected<const Device*, SelectError> Selector::resolve(std::span<const Device> devices) const {
    const auto& wanted = std::get<Location>(value).text;
    std::vector<const Device*> found;
    for (const auto& d : devices) {
        if (text::equal_ignoring_ascii_case(to_string(d.attach), wanted)) found.push_back(&d);
    }
    if (found.empty()) return std::unexpected(SelectError{SelectError::NoMatch{}});
    if (found.size() > 1) {
        SelectError::Ambiguous a;
        for (const auto* d : found) a.locations.push_back(to_string(d->attach));
        return std::unexpected(SelectError{std::move(a)});
    }
    return found.front();
}

std::optional<protocol::caps::identity::Identity> probe(transport::Transport& transport) {
    static constexpr std::array<std::uint8_t, 6> inquiry{0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
    std::array<std::uint8_t, 36> buffer{};
    // A link error counts as no answer, like a refusal.
    auto reply = transport.execute(inquiry, transport::Data::in(buffer), probe_timeout);
    if (!reply || reply->status != transport::Status::good()) return std::nullopt;
    auto n = std::min(reply->transferred, buffer.size());
    auto identity = protocol::caps::identity::Identity::parse(std::span<const std::uint8_t>(buffer.data(), n));
    if (!identity || identity->qualifier != 0 || identity->device_type != 6) return std::nullopt;
    return std::move(*identity);
}

}  // namespace vexlor::device
