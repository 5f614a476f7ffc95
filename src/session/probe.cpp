#include "session/probe.hpp"

#include <chrono>

#include <fmt/format.h>

#include "diag/log.hpp"
#include "protocol/sense.hpp"
#include "session/session.hpp"
#include "text.hpp"
#include "try.hpp"

namespace vexlor::session::probe {

using namespace std::chrono_literals;
using protocol::caps::Error;
using protocol::caps::Page;
namespace page_code = protocol::caps::page_code;

namespace {

constexpr std::string_view TARGET = "vexlor::session::probe";

// A page parse failure as the error the callers see.
template <class T>
error::Result<T> parsed(std::expected<T, Error> r) {
    if (!r) return std::unexpected(error::Error(std::move(r).error()));
    return std::move(*r);
}

}  // namespace

error::Result<std::vector<std::uint8_t>> inquiry_within(transport::Transport& transport, bool evpd, std::uint8_t page,
                                                        std::uint8_t allocation, transport::Duration timeout) {
    const std::array<std::uint8_t, 6> cdb{opcode::INQUIRY, static_cast<std::uint8_t>(evpd ? 0x01 : 0x00),
                                          static_cast<std::uint8_t>(evpd ? page : 0x00), 0x00, allocation,
                                          static_cast<std::uint8_t>(evpd ? 0x80 : 0x00)};
    std::vector<std::uint8_t> buffer(allocation, 0);
    auto reply = transport.execute(cdb, transport::Data::in(buffer), timeout);
    if (!reply) return std::unexpected(error::Error(std::move(reply).error()));
    const auto interpretation = protocol::sense::interpret(*reply);
    if (!interpretation.success()) return std::unexpected(error::Error::from_outcome(interpretation, *reply));
    buffer.resize(std::min<std::size_t>(reply->transferred, allocation));
    return buffer;
}

error::Result<Page> vpd(transport::Transport& transport, std::uint8_t page) {
    VX_TRY(auto bytes, inquiry_within(transport, true, page, 0xFF, 30s));
    VX_TRACE(TARGET, "vpd", diag::Field{"page", fmt::format("{:02X}h", page)}, diag::Field{"bytes", text::hex_dump(bytes)});
    using protocol::caps::HEADER_SIZE;
    using protocol::caps::PAGE_CODE_AT;
    if (bytes.size() < HEADER_SIZE) return std::unexpected(error::Error(Error::truncated(page, HEADER_SIZE, bytes.size())));
    if (bytes[PAGE_CODE_AT] != page) {
        return std::unexpected(error::Error(Error::bad_field(page, PAGE_CODE_AT, "page code", bytes[PAGE_CODE_AT])));
    }
    return Page{std::move(bytes), page};
}

error::Result<protocol::caps::Capabilities> capabilities(transport::Transport& transport) {
    namespace caps = protocol::caps;
    VX_TRY(const auto standard, inquiry_within(transport, false, 0, static_cast<std::uint8_t>(caps::identity::LENGTH), 180s));
    VX_TRY(auto identity, parsed(caps::identity::Identity::parse(standard)));
    if (identity.qualifier != 0 || identity.device_type != 6) return std::unexpected(error::Error::not_found());

    VX_TRY(const auto address_page, vpd(transport, page_code::ADDRESS));
    VX_TRY(auto address, parsed(caps::address::Address::from_page(address_page)));

    std::optional<caps::frames::Frames> frames;
    if (address.framing_flags & caps::address::PUBLISHES_FRAMES) {
        VX_TRY(const auto frames_page, vpd(transport, page_code::FRAMES));
        VX_TRY(frames, parsed(caps::frames::Frames::from_page(frames_page)));
    }

    VX_TRY(const auto features_page, vpd(transport, page_code::FEATURES));
    VX_TRY(auto features, parsed(caps::other::Features::from_page(features_page)));
    VX_DEBUG(TARGET, "features", diag::field("page_length", features.page_length),
             diag::Field{"cooperation", debug_string(features.cooperation)},
             diag::Field{"execute", caps::other::debug_string(features.execute_ops)});

    VX_TRY(const auto set_window_page, vpd(transport, page_code::SET_WINDOW));
    VX_TRY(auto set_window, parsed(caps::set_window::SetWindowFunction::from_page(set_window_page)));

    std::optional<caps::ccd::CcdMeasurement> ccd;
    auto ccd_page = vpd(transport, page_code::CCD);
    if (ccd_page) {
        VX_TRY(ccd, parsed(caps::ccd::CcdMeasurement::from_page(*ccd_page)));
    } else {
        const auto* device = ccd_page.error().get_if<error::Error::Device>();
        if (!device || !std::holds_alternative<protocol::sense::Fault::Rejected>(device->fault->value)) {
            return std::unexpected(std::move(ccd_page).error());
        }
        VX_DEBUG(TARGET, "this unit has no CCD measurement page");
    }

    return caps::Capabilities{std::move(identity), std::move(ccd), std::move(frames), std::move(set_window),
                              std::move(features), std::move(address)};
}

}  // namespace vexlor::session::probe
