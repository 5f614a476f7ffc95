#include "session/session.hpp"

#include <chrono>
#include <new>

#include <fmt/format.h>

#include "diag/log.hpp"
#include "protocol/sense.hpp"
#include "session/probe.hpp"
#include "text.hpp"
#include "try.hpp"

namespace vexlor::session {

using namespace std::chrono_literals;
namespace sense = protocol::sense;
using protocol::data::CooperativeAction;
using protocol::data::DataType;
using transport::Data;

namespace {

constexpr std::string_view TARGET = "vexlor::session";

// Unit attentions one exchange re-issues after; the next one ends the call.
constexpr int MAX_ATTENTIONS = 15;
// Cooperation requests one command may make before the call gives up.
constexpr int LAST_EXCHANGE = 16;
constexpr auto NOT_READY_PAUSE = 100ms;
constexpr auto READY_TIMEOUT = 180s;
constexpr auto COMMAND_TIMEOUT = 30s;
// Each command of a clean-up (ABORT, its wait for readiness, RELEASE): the next call's status
// protocol waits for the unit anyway.
constexpr auto CLEANUP_TIMEOUT = 5s;

constexpr std::array<std::uint8_t, 6> TEST_UNIT_READY_CDB{opcode::TEST_UNIT_READY, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 6> RESERVE_CDB{opcode::RESERVE_UNIT, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 6> RELEASE_CDB{opcode::RELEASE_UNIT, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 6> ABORT_CDB{opcode::ABORT, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 6> MODE_SELECT_CDB{opcode::MODE_SELECT, 0x10, 0, 0, 12, 0};

std::string e_text(const error::Error& e) { return error::to_string(e); }

std::string coop_pairs(const std::vector<std::pair<sense::Coop, CooperativeAction>>& seen) {
    std::string s = "[";
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (i) s += ", ";
        s += "(" + sense::debug_string(seen[i].first) + ", " + protocol::data::debug_string(seen[i].second) + ")";
    }
    return s + "]";
}

}  // namespace

std::array<std::uint8_t, 12> units_page(std::uint16_t divisor) {
    return {0x00, 0x00, 0x00, 0x00, 0x03, 0x06, 0x00, 0x00, static_cast<std::uint8_t>(divisor >> 8),
            static_cast<std::uint8_t>(divisor & 0xFF), 0x00, 0x00};
}

Session::Session(protocol::caps::Capabilities c, std::unique_ptr<transport::Transport> t, clock::Clock& clk)
    : caps(std::move(c)), transport(std::move(t)), units(caps.address.x.max_dpi), clock_(&clk) {
    watch_transport();
}

void Session::watch_transport() {
    if (transport) transport->set_stop([this] { return should_stop(); });
}

Session::Session(Session&& o) noexcept
    : frame_table(std::move(o.frame_table)),
      caps(std::move(o.caps)),
      transport(std::move(o.transport)),
      curves(std::move(o.curves)),
      units(o.units),
      reserved(o.reserved),
      clock_(o.clock_),
      interrupt_(std::move(o.interrupt_)),
      interrupt_thread_(o.interrupt_thread_),
      stop_(o.stop_.load()),
      scan_open_(o.scan_open_) {
    o.reserved = false;
    o.scan_open_ = false;
    watch_transport();
}

// Closing is clean-up: bounded, and a second Ctrl-C ends it. A scan left running is stopped
// first, or the unit would stay scanning after we let it go.
Session::~Session() {
    if (!transport) return;
    {
        const Cleanup closing(*this);
        if (scan_open_) {
            if (auto r = stop_scan(); !r) {
                VX_WARN(TARGET, "could not stop the scan, so it is left open - the next command will be refused out of sequence",
                        diag::Field{"e", e_text(r.error())}, diag::Field{"left", "scanning"});
            }
        }
        if (reserved) {
            if (auto r = handshake_once(RELEASE_CDB, Data::none(), CLEANUP_TIMEOUT); !r) {
                VX_WARN(TARGET, "could not release the scanner", diag::Field{"e", e_text(r.error())},
                        diag::Field{"left", "reserved"});
            }
        }
    }
    transport->set_stop({});
}

void Session::abandon() {
    reserved = false;
    if (transport) transport->abandon();
    transport.reset();
}

namespace {
// The clean-up running on this thread, and the stops the caller had asked for when it began.
thread_local int cleanup_depth = 0;
thread_local unsigned cleanup_baseline = 0;
}  // namespace

Cleanup::Cleanup(Session& s) : outer_baseline_(cleanup_baseline), outer_depth_(cleanup_depth) {
    if (cleanup_depth++ > 0) return;
    // The stop that led here was meant for what went before.
    s.stop_.store(false);
    const bool asking = s.interrupt_ && std::this_thread::get_id() == s.interrupt_thread_;
    cleanup_baseline = asking ? s.interrupt_() : 0;
}

Cleanup::~Cleanup() {
    cleanup_depth = outer_depth_;
    cleanup_baseline = outer_baseline_;
}

void Session::set_interrupt(Interrupt check) {
    interrupt_ = std::move(check);
    interrupt_thread_ = std::this_thread::get_id();
}

bool Session::interrupted() {
    if (!interrupt_ || std::this_thread::get_id() != interrupt_thread_) return false;
    return interrupt_() > (cleanup_depth > 0 ? cleanup_baseline : 0u);
}

bool Session::should_stop() { return stop_.load() || interrupted(); }

// ---- status protocol ----

namespace {

// A refusal out of sequence of these means something else than a scan left running: ABORT is the
// stop itself, and an image READ so refused ends its stream.
bool stops_scan_first(std::span<const std::uint8_t> cdb) {
    if (cdb.empty() || cdb[0] == opcode::ABORT) return false;
    return !(cdb[0] == opcode::READ && cdb.size() > 2 && cdb[2] == 0x00);
}

}  // namespace

error::Result<Handshake> Session::run_handshake(std::span<const std::uint8_t> cdb, Data data, Duration timeout) {
    auto r = handshake_once(cdb, data, timeout);
    if (r || !scan_open_ || !stops_scan_first(cdb) || !r.error().is_refusal(sense::Refusal::OutOfSequence)) {
        return r;
    }
    // A pass ended while the unit still held data: stop it, and send the command once more.
    VX_DEBUG(TARGET, "a scan was still running, so it is stopped and the command sent again", diag::field("opcode", cdb[0]));
    auto stopped = stop_scan();
    if (!stopped || !*stopped) return r;
    return handshake_once(cdb, data, timeout);
}

error::Result<Handshake> Session::handshake_once(std::span<const std::uint8_t> cdb, Data data, Duration timeout) {
    const clock::Instant deadline = clock_->now() + timeout;
    std::vector<std::pair<sense::Coop, CooperativeAction>> seen;
    Handshake out;
    for (int exchange = 0; exchange <= LAST_EXCHANGE; ++exchange) {
        std::optional<sense::Activity> last_activity;
        int attentions = 0;
        std::optional<sense::Coop> coop;
        for (;;) {
            const Duration remaining = clock::remaining(*clock_, deadline);
            if (remaining == Duration::zero()) return std::unexpected(error::Error(transport::Error::timeout(timeout)));
            auto reply = transport->execute(cdb, data, remaining);
            if (!reply) {
                // Cut short on our word: the call ends as a cancel does.
                if (reply.error().is_interrupted()) return std::unexpected(error::Error::cancelled());
                return std::unexpected(error::Error(std::move(reply).error()));
            }
            const auto interpretation = sense::interpret(*reply);
            out.reply = std::move(*reply);
            const auto& v = interpretation.value;
            if (std::holds_alternative<sense::Interpretation::Good>(v)) break;
            if (const auto* a = std::get_if<sense::Interpretation::Adjusted>(&v)) {
                VX_INFO(TARGET, "the scanner had a note about that", diag::Field{"adjustment", sense::debug_string(a->detail)},
                        diag::field("opcode", cdb.empty() ? std::uint8_t{0} : cdb[0]),
                        diag::Field{"sense", transport::debug_string(out.reply.sense)});
                break;
            }
            if (const auto* w = std::get_if<sense::Interpretation::Waiting>(&v)) {
                if (last_activity != w->detail) {
                    VX_DEBUG(TARGET, "waiting", diag::Field{"activity", sense::debug_string(w->detail)});
                }
                last_activity = w->detail;
                if (interrupted()) return std::unexpected(error::Error::cancelled());
                clock_->sleep(NOT_READY_PAUSE);
                continue;
            }
            if (const auto* c = std::get_if<sense::Interpretation::Changed>(&v)) {
                VX_DEBUG(TARGET, "device state changed under us, re-issuing", diag::Field{"change", sense::debug_string(c->detail)});
                VX_TRY(caps, probe::capabilities(*transport));
                if (attentions == MAX_ATTENTIONS) {
                    VX_WARN(TARGET, "giving up on a device that will not settle",
                            diag::Field{"change", sense::debug_string(c->detail)}, diag::field("changes", MAX_ATTENTIONS + 1));
                    return std::unexpected(error::Error::unsupported(
                        "command", fmt::format("the unit raised {} unit attentions without running it, last {}",
                                               MAX_ATTENTIONS + 1, sense::debug_string(c->detail))));
                }
                ++attentions;
                continue;
            }
            if (const auto* c = std::get_if<sense::Interpretation::Cooperate>(&v)) {
                coop = c->detail;
                break;
            }
            return std::unexpected(error::Error::from_outcome(interpretation, out.reply));
        }
        if (!coop) return out;

        VX_TRY(const auto request, read_data(DataType::Cooperation));
        const auto* raw = std::get_if<protocol::data::Values::Raw>(&request.values.value);
        const std::span<const std::uint8_t> payload = raw ? std::span<const std::uint8_t>(raw->values) : std::span<const std::uint8_t>();
        auto record = CooperativeAction::from_bytes(payload);
        if (!record) {
            return std::unexpected(error::Error(
                transport::Error::io(transport::IoKind::InvalidData, fmt::format("Cooperation was {} bytes", payload.size()))));
        }
        VX_DEBUG(TARGET, "the unit wants something doing", diag::Field{"coop", sense::debug_string(*coop)},
                 diag::Field{"record", protocol::data::debug_string(*record)});
        for (const auto& [c, r] : seen) {
            if (c == *coop && r == *record) {
                return std::unexpected(error::Error::unsupported(
                    "host cooperation", fmt::format("the unit asked for {} twice over", sense::debug_string(*coop))));
            }
        }
        seen.emplace_back(*coop, *record);
        out.actions.push_back(std::move(*record));
        if (exchange == LAST_EXCHANGE) {
            return std::unexpected(error::Error::unsupported(
                "host cooperation",
                fmt::format("the unit asked for {} things and was still going: {}", seen.size(), coop_pairs(seen))));
        }
    }
    return out;  // not reached: the last exchange returns above
}

error::Result<transport::Reply> Session::run(std::span<const std::uint8_t> cdb, Data data, Duration timeout) {
    VX_TRY(auto h, run_handshake(cdb, data, timeout));
    return std::move(h.reply);
}

error::Result<void> Session::test_unit_ready(Duration timeout) {
    VX_CHECK(run(TEST_UNIT_READY_CDB, Data::none(), timeout));
    return {};
}

error::Result<bool> Session::tolerate(std::span<const std::uint8_t, 6> cdb) { return tolerate(cdb, COMMAND_TIMEOUT); }

error::Result<bool> Session::tolerate(std::span<const std::uint8_t, 6> cdb, Duration timeout) {
    auto r = run(cdb, Data::none(), timeout);
    if (r) return true;
    if (r.error().is_refusal(sense::Refusal::UnknownOpcode)) return false;
    return std::unexpected(std::move(r).error());
}

error::Result<bool> Session::abort() { return abort_within(COMMAND_TIMEOUT, READY_TIMEOUT); }

error::Result<bool> Session::stop_scan() {
    const Cleanup stopping(*this);
    return abort_within(CLEANUP_TIMEOUT, CLEANUP_TIMEOUT);
}

error::Result<bool> Session::abort_within(Duration abort_timeout, Duration ready_timeout) {
    VX_TRY(const bool ran, tolerate(ABORT_CDB, abort_timeout));
    if (!ran) {
        VX_DEBUG(TARGET, "this unit has no ABORT");
        return false;
    }
    scan_open_ = false;
    VX_CHECK(test_unit_ready(ready_timeout));
    return true;
}

ScanGuard::~ScanGuard() {
    if (!session_) return;
    try {
        session_->abandon_scan();
    } catch (const std::bad_alloc&) {
        // Unwinding from an allocation failure already: the next command stops the scan.
    }
}

void Session::abandon_scan() {
    if (auto r = stop_scan(); !r) {
        VX_WARN(TARGET, "could not stop the scan, so it is left open - the next command will be refused out of sequence",
                diag::Field{"e", e_text(r.error())}, diag::Field{"left", "scanning"});
    }
}

// ---- open and media ----

error::Result<Session> Session::open(std::unique_ptr<transport::Transport> transport, clock::Clock& clock,
                                     Interrupt interrupt) {
    // The probe runs before the session exists: the caller's stop reaches its commands directly.
    if (interrupt) transport->set_stop([&interrupt] { return interrupt() > 0; });
    auto probing = probe::capabilities(*transport);
    transport->set_stop({});
    VX_TRY(auto probed, std::move(probing));
    const std::uint16_t divisor = probed.address.x.max_dpi;
    Session s(std::move(probed), std::move(transport), clock);
    s.set_interrupt(std::move(interrupt));
    VX_CHECK(s.ready_at_open());
    VX_CHECK(s.stop_stale_scan());
    VX_CHECK(s.reserve());
    VX_CHECK(s.set_units(divisor));
    s.fetch_curves();
    VX_TRY(const bool loaded, s.media_loaded());
    if (loaded) {
        VX_CHECK(s.stage());
    } else {
        VX_DEBUG(TARGET, "nothing is loaded, so the mechanism is left alone");
    }
    s.set_interrupt({});
    return s;
}

error::Result<void> Session::ready_at_open() {
    auto r = test_unit_ready(READY_TIMEOUT);
    if (r) return {};
    if (r.error().is_media(sense::Intervention::NoMedium)) {
        VX_DEBUG(TARGET, "nothing is loaded");
        return {};
    }
    if (r.error().is_refusal(sense::Refusal::OutOfSequence)) {
        VX_DEBUG(TARGET, "a scan was still valid from the last process, stopping it");
        VX_CHECK(abort());
        VX_CHECK(test_unit_ready(READY_TIMEOUT));
        return {};
    }
    return std::unexpected(std::move(r).error());
}

error::Result<void> Session::stop_stale_scan() {
    auto r = windows();
    if (r) return {};
    if (r.error().is_refusal(sense::Refusal::OutOfSequence)) {
        VX_DEBUG(TARGET, "a scan was still valid from earlier, stopping it");
        VX_CHECK(abort());
        return {};
    }
    return std::unexpected(std::move(r).error());
}

error::Result<void> Session::reserve() {
    auto r = tolerate(RESERVE_CDB);
    if (!r) {
        // A reservation lost on the link may still have been taken: give it back before failing,
        // or the unit stays claimed until it is power-cycled.
        if (r.error().get_if<error::Error::Transport>() || r.error().get_if<error::Error::Cancelled>()) {
            const Cleanup releasing(*this);
            if (auto released = handshake_once(RELEASE_CDB, Data::none(), CLEANUP_TIMEOUT); !released) {
                VX_WARN(TARGET, "could not release the scanner", diag::Field{"e", e_text(released.error())},
                        diag::Field{"left", "reserved"});
            }
        }
        return std::unexpected(std::move(r).error());
    }
    if (!*r) VX_DEBUG(TARGET, "this unit has no RESERVE UNIT");
    reserved = *r;
    return {};
}

error::Result<void> Session::set_units(std::uint16_t divisor) {
    const std::uint16_t top = caps.address.x.max_dpi;
    if (divisor != BASE_DIVISOR && divisor != top) {
        return std::unexpected(error::Error::unsupported(
            "measurement units", fmt::format("the divisor must be {} or {}, not {}", BASE_DIVISOR, top, divisor)));
    }
    const auto list = units_page(divisor);
    VX_TRACE(TARGET, "mode select", diag::field("divisor", divisor), diag::Field{"bytes", text::hex_dump(list)});
    VX_CHECK(run(MODE_SELECT_CDB, Data::out(list), COMMAND_TIMEOUT));
    units = divisor;
    return {};
}

error::Result<bool> Session::media_loaded() {
    if (caps.frames) {
        VX_TRY(const auto page, probe::vpd(*transport, protocol::caps::page_code::FRAMES));
        auto frames = protocol::caps::frames::Frames::from_page(page);
        if (!frames) return std::unexpected(error::Error(std::move(frames).error()));
        caps.frames = std::move(*frames);
        return !caps.frames->frames.empty();
    }
    auto r = test_unit_ready(READY_TIMEOUT);
    if (r) return true;
    if (r.error().is_media(sense::Intervention::NoMedium)) return false;
    return std::unexpected(std::move(r).error());
}

error::Result<bool> Session::load() {
    const auto op = protocol::data::Op::of(protocol::data::Op::Kind::Load);
    if (!caps.features.execute_ops.offers(op.code())) {
        VX_DEBUG(TARGET, "this unit has no LOAD");
        return false;
    }
    auto r = execute(op, {}, READY_TIMEOUT);
    if (r) return true;
    if (r.error().is_media(sense::Intervention::NothingToLoad)) {
        VX_DEBUG(TARGET, "the adapter has nothing left to take in");
        return false;
    }
    return std::unexpected(std::move(r).error());
}

error::Result<bool> Session::eject() {
    const auto op = protocol::data::Op::of(protocol::data::Op::Kind::Unload);
    if (!caps.features.execute_ops.offers(op.code())) {
        VX_DEBUG(TARGET, "this unit has no UNLOAD");
        return false;
    }
    auto r = execute(op, {}, READY_TIMEOUT);
    if (r || r.error().is_media(sense::Intervention::NoMedium)) return true;
    return std::unexpected(std::move(r).error());
}

error::Result<void> Session::stage() {
    VX_TRY(const auto held, windows());
    for (const auto& w : held) {
        if (w.length > caps.address.y.max_extent) {
            VX_DEBUG(TARGET, "skipping stale power-on window", diag::field("id", w.id), diag::field("size", w.length));
            continue;
        }
        if (auto r = set_window(w); !r) {
            VX_DEBUG(TARGET, "this window would not go back", diag::field("id", w.id), diag::Field{"e", e_text(r.error())});
        }
    }
    const auto at = focus_position();
    if (!at) return {};
    if (auto r = focus_to(*at); !r) {
        VX_DEBUG(TARGET, "could not stage the focus", diag::field("at", *at), diag::Field{"e", e_text(r.error())});
    } else {
        VX_DEBUG(TARGET, "staged the focus", diag::field("at", *at));
    }
    return {};
}

}  // namespace vexlor::session
