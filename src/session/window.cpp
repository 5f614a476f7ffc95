#include "session/window.hpp"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "bytes.hpp"
#include "diag/log.hpp"
#include "session/session.hpp"
#include "text.hpp"
#include "try.hpp"

namespace vexlor::session {

using namespace std::chrono_literals;
using protocol::window::Window;
using transport::Data;

namespace window {

std::array<std::uint8_t, SET_WINDOW_LIST> set_window_list(const Window& w) {
    std::array<std::uint8_t, SET_WINDOW_LIST> list{};
    list[7] = static_cast<std::uint8_t>(Window::size);
    const auto d = w.to_bytes();
    std::copy(d.begin(), d.end(), list.begin() + HEADER);
    return list;
}

std::string origin_text(const Window& w) { return fmt::format("({}, {})", w.ulx, w.uly); }
std::string size_text(const Window& w) { return fmt::format("({}, {})", w.width, w.length); }

}  // namespace window

namespace {

constexpr std::string_view TARGET = "vexlor::session::window";
constexpr auto SET_WINDOW_TIMEOUT = 180s;
constexpr auto COMMAND_TIMEOUT = 30s;

error::Error short_header(std::size_t got) {
    return error::Error(transport::Error::io(
        transport::IoKind::InvalidData, fmt::format("window descriptor was {} bytes, need {}", got, window::HEADER)));
}

bool holds(const protocol::data::Rect& r, const Window& w) {
    return r.left <= w.ulx && std::uint64_t{w.ulx} + w.width <= r.right && r.top <= w.uly &&
           std::uint64_t{w.uly} + w.length <= r.bottom;
}

}  // namespace

error::Result<void> Session::set_window(const Window& w) {
    VX_CHECK(w.validate(caps));
    if (w.kind.contains(protocol::caps::set_window::kind::IMAGE) && frame_table) {
        if (const auto* rects = std::get_if<protocol::data::FrameTable::Rects>(&frame_table->value);
            rects && !rects->table.rects.empty() &&
            std::none_of(rects->table.rects.begin(), rects->table.rects.end(), [&](const auto& r) { return holds(r, w); })) {
            VX_WARN(TARGET, "no frame holds this window, so the stage will home to reach it", diag::field("id", w.id),
                    diag::Field{"window.origin", window::origin_text(w)}, diag::Field{"window.size", window::size_text(w)});
        }
    }
    const auto list = window::set_window_list(w);
    VX_DEBUG(TARGET, "setting window", diag::field("id", w.id), diag::Field{"window.origin", window::origin_text(w)},
             diag::Field{"window.size", window::size_text(w)});
    VX_TRACE(TARGET, "set window payload", diag::field("id", w.id), diag::Field{"bytes", text::hex_dump(list)});
    const std::array<std::uint8_t, 10> cdb{opcode::SET_WINDOW, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(list.size()), 0x80};
    auto reply = transport->execute(cdb, Data::out(list), SET_WINDOW_TIMEOUT);
    if (!reply) return std::unexpected(error::Error(std::move(reply).error()));
    // A refused window would leave the unit scanning with the one it held before.
    const auto interpretation = protocol::sense::interpret(*reply);
    if (const auto* a = std::get_if<protocol::sense::Interpretation::Adjusted>(&interpretation.value)) {
        VX_INFO("vexlor::session", "the scanner had a note about that",
                diag::Field{"adjustment", protocol::sense::debug_string(a->detail)}, diag::field("opcode", cdb[0]),
                diag::Field{"sense", transport::debug_string(reply->sense)});
    }
    if (!interpretation.success()) return std::unexpected(error::Error::from_outcome(interpretation, *reply));
    return {};
}

error::Result<Bytes> Session::get_window_raw(std::uint32_t length) {
    std::array<std::uint8_t, 10> cdb{opcode::GET_WINDOW, 0, 0, 0, 0, 0, 0, 0, 0, 0x80};
    cdb[6] = static_cast<std::uint8_t>(length >> 16);
    cdb[7] = static_cast<std::uint8_t>(length >> 8);
    cdb[8] = static_cast<std::uint8_t>(length);
    Bytes buffer(length, 0);
    VX_TRY(const auto reply, run(cdb, Data::in(buffer), COMMAND_TIMEOUT));
    if (reply.transferred < length) buffer.resize(reply.transferred);
    return buffer;
}

error::Result<std::vector<Window>> Session::windows() {
    VX_TRY(const auto head, get_window_raw(window::HEADER));
    if (head.size() < window::HEADER) return std::unexpected(short_header(head.size()));
    VX_TRY(const auto all, get_window_raw(std::uint32_t{bytes::be16(head.data())} + 2));
    if (all.size() < window::HEADER) return std::unexpected(short_header(all.size()));
    const std::size_t stride = bytes::be16(all.data() + 6);
    VX_DEBUG(TARGET, "window descriptors", diag::field("stride", stride), diag::field("bytes", all.size() - window::HEADER));
    if (stride < Window::size) {
        return std::unexpected(error::Error(transport::Error::io(
            transport::IoKind::InvalidData,
            fmt::format("descriptor stride of {} is shorter than the {} bytes 2-10-3 defines", stride, Window::size))));
    }
    std::vector<Window> out;
    for (std::size_t at = window::HEADER; at + stride <= all.size(); at += stride) {
        out.push_back(*Window::try_from(std::span(all).subspan(at, stride)));
    }
    return out;
}

}  // namespace vexlor::session

namespace vexlor::session {

namespace {

constexpr auto SCAN_TIMEOUT = 180s;

std::string actions_text(const std::vector<protocol::data::CooperativeAction>& actions) {
    std::string s = "[";
    for (const auto& a : actions) {
        if (s.size() > 1) s += ", ";
        s += protocol::data::debug_string(a);
    }
    return s + "]";
}

}  // namespace

error::Result<Handshake> Session::scan(std::span<const std::uint8_t> ids) {
    const std::array<std::uint8_t, 6> cdb{opcode::SCAN, 0, 0, 0, static_cast<std::uint8_t>(ids.size()), 0};
    VX_DEBUG(TARGET, fmt::format("scan cmd {}", text::lower_hex_list(cdb)));
    auto r = run_handshake(cdb, Data::out(ids), SCAN_TIMEOUT);
    // Cut short or lost on the link, the unit may have started all the same.
    if (r || r.error().get_if<error::Error::Transport>() || r.error().get_if<error::Error::Cancelled>()) scan_open_ = true;
    return r;
}

error::Result<window::Started> Session::start_pass(std::span<const Window> windows, Duration start_timeout) {
    for (const auto& w : windows) VX_CHECK(set_window(w));
    std::vector<std::uint8_t> ids;
    ids.reserve(windows.size());
    for (const auto& w : windows) ids.push_back(w.id);
    auto handshake = scan(ids);
    if (!handshake) {
        if (scan_open_) abandon_scan();
        return std::unexpected(std::move(handshake).error());
    }
    // From here every way out but the pass's start stops the scan.
    ScanGuard started(*this);
    auto& actions = handshake->actions;
    VX_DEBUG(TARGET, "scanning", diag::Field{"ids", text::dec_list(ids)},
             diag::Field{"cooperations", actions_text(actions)});

    std::optional<protocol::data::Truncation> truncation;
    for (const auto& a : actions) {
        if (const auto* t = std::get_if<protocol::data::CooperativeAction::Truncate>(&a.value)) {
            truncation = t->truncation;
            break;
        }
    }
    auto layout = protocol::image::Layout::make(caps, windows, units, truncation);
    if (!layout) return std::unexpected(std::move(layout).error());
    layout->read_off = std::any_of(actions.begin(), actions.end(), [](const auto& a) {
        const auto* g = std::get_if<protocol::data::CooperativeAction::Geometry>(&a.value);
        return g && std::holds_alternative<protocol::sense::Coop::MultiLineRegistration>(g->coop.value);
    });

    const clock::Instant began = clock().now();
    // A pass left running would refuse every later command out of sequence: the guard stops it.
    VX_CHECK(test_unit_ready(start_timeout));
    VX_DEBUG("vexlor::session::scan", "scan ready", diag::Field{"ready_in", text::debug_duration(clock().now() - began)});
    started.release();
    return window::Started{std::move(*layout), std::move(actions)};
}

}  // namespace vexlor::session
