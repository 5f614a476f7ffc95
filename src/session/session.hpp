// An open, exclusive session on one unit: the record, the status protocol every command runs
// under, and everything the session does with the unit (media, records, windows, focus).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "clock.hpp"
#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/curves.hpp"
#include "protocol/data.hpp"
#include "protocol/image.hpp"
#include "protocol/window.hpp"
#include "protocol/decode.hpp"
#include "protocol/image.hpp"
#include "scan/autoexpose.hpp"
#include "scan/focus.hpp"
#include "scan/pass.hpp"
#include "scan/window.hpp"
#include "session/image.hpp"
#include "session/scan.hpp"
#include "session/window.hpp"
#include "transport/transport.hpp"

namespace vexlor::session {

using Duration = transport::Duration;
using Bytes = std::vector<std::uint8_t>;

// What one run of the status protocol brought back.
struct Handshake {
    transport::Reply reply;  // of the last issue
    std::vector<protocol::data::CooperativeAction> actions;  // every cooperation record, in arrival order
};

// A vendor data record as read: its header and the payload after it.
struct Record {
    protocol::data::Header header;
    Bytes payload;
};

struct DataRecord {
    protocol::data::Header header;
    protocol::data::Values values;
};

class Session {
public:
    // Probes, waits for the unit, stops a stale scan, reserves, sets the measurement units, reads
    // the curves and stages a loaded medium. On failure the transport is closed and the unit released.
    // How many times the caller has asked to stop so far (0: go on). Asked while a call waits on the
    // unit, only on the thread that installed it; a stop ends the call as a cancel does.
    using Interrupt = std::function<unsigned()>;

    static error::Result<Session> open(std::unique_ptr<transport::Transport> transport,
                                       clock::Clock& clock = clock::system(), Interrupt interrupt = {});

    Session(Session&& other) noexcept;
    Session& operator=(Session&&) = delete;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // Releases the unit when it was reserved; never fails.
    ~Session();
    // In a forked child: lets go of the link the parent still holds, sending nothing; the
    // session's drop then sends nothing either.
    void abandon();

    // Status protocol.
    error::Result<Handshake> run_handshake(std::span<const std::uint8_t> cdb, transport::Data data, Duration timeout);
    error::Result<transport::Reply> run(std::span<const std::uint8_t> cdb, transport::Data data, Duration timeout);
    error::Result<void> test_unit_ready(Duration timeout);
    // True when the unit ran the command, false when it does not have the operation code.
    error::Result<bool> tolerate(std::span<const std::uint8_t, 6> cdb);
    error::Result<bool> abort();
    // The clean-up stop of a scan: ABORT, then a few seconds for readiness; a new stop from the
    // caller cuts it short. True when the unit ran ABORT.
    error::Result<bool> stop_scan();
    // Best-effort stop of a failed pass; logs what it could not do.
    void abandon_scan();

    // Media.
    error::Result<bool> media_loaded();
    error::Result<bool> load();
    error::Result<bool> eject();
    error::Result<void> stage();

    // Vendor records and commands.
    error::Result<Record> read_record(protocol::data::DataType type, std::uint8_t qualifier = 0);
    error::Result<DataRecord> read_data(protocol::data::DataType type, std::uint8_t qualifier = 0);
    error::Result<void> send_data(protocol::data::DataType type, std::span<const std::uint8_t> payload);
    error::Result<protocol::data::Setup> setup(std::uint8_t qualifier);
    error::Result<void> set_boundaries(const protocol::data::Boundary& table);
    error::Result<protocol::data::BoundaryType2> boundaries_type2();
    error::Result<protocol::data::BoundaryType2> read_boundaries_type2();
    error::Result<void> set_boundaries_type2(const protocol::data::BoundaryType2& table);
    error::Result<void> set_boundaries_type2_for_pass(const protocol::data::BoundaryType2& table);
    error::Result<std::vector<protocol::data::PerforationInformation>> read_perforations();
    error::Result<void> execute(protocol::data::Op op, const protocol::data::Operation& operation, Duration timeout);
    error::Result<protocol::data::Operation> get_parameter(protocol::data::Op op);
    static error::Result<std::optional<transport::Sense>> diagnose(transport::Transport& transport);
    void fetch_curves();

    // Windows.
    error::Result<void> set_window(const protocol::window::Window& window);
    error::Result<Bytes> get_window_raw(std::uint32_t length);
    error::Result<std::vector<protocol::window::Window>> windows();

    // Focus.
    error::Result<std::uint16_t> focus_position();
    error::Result<void> focus_to(std::uint16_t position);
    error::Result<void> autofocus(std::uint32_t x, std::uint32_t y, std::optional<std::uint8_t> color);
    error::Result<vexlor::scan::focus::Focused> focus_frame(const protocol::data::Rect& frame, const vexlor::scan::focus::Focus& focus);

    // Passes. Between `start_pass` and the end of its reading, only the pass's reader sends commands.
    error::Result<Handshake> scan(std::span<const std::uint8_t> ids);
    error::Result<window::Started> start_pass(std::span<const protocol::window::Window> windows, Duration start_timeout);
    error::Result<image::Chunks> image_chunks(const protocol::image::Layout& layout);
    // The largest image READ: the link's limit, or the unit's where it names a smaller one.
    std::size_t image_read_limit() const;
    error::Result<std::size_t> read_image_within(const protocol::image::Layout& layout, std::span<std::uint8_t> buffer,
                                                 Duration timeout);
    error::Result<vexlor::scan::pass::Pass> scan_pass_with(std::span<const protocol::window::Window> windows,
                                                           Duration start_timeout, protocol::decode::Samples& samples,
                                                           const vexlor::session::scan::ProgressFn& progress);
    error::Result<vexlor::scan::pass::Pass> scan_thumbnail_with(protocol::decode::Samples& samples,
                                                                const vexlor::session::scan::ProgressFn& progress);
    // Metering progress: the metering pass, counted from 1, and the pass's progress; true stops.
    using MeterProgressFn = std::function<bool(std::size_t, const vexlor::session::scan::Progress&)>;
    // Exposures for one frame: the unit's own exposure pass, or host metering passes.
    error::Result<vexlor::scan::autoexpose::Exposures> autoexpose_frame_with(const protocol::data::Rect& rect,
                                                                             const vexlor::scan::window::Recipe& recipe,
                                                                             bool lock_white_balance,
                                                                             const MeterProgressFn& progress);

    // A copy of each window with the unit's start-up exposure for its channel, where the unit has one.
    std::vector<protocol::window::Window> seed_white_balance(std::span<const protocol::window::Window> windows);
    // The unit's start-up exposure for a channel, or why there is none.
    std::expected<std::uint32_t, std::string> white_balance(std::uint8_t id);

    clock::Clock& clock() const { return *clock_; }

    // Asked while a call waits on the unit (not-ready polls, the pass, the command in flight); a
    // stop ends the call as a cancel does. The caller installs it for one call; only the installing
    // thread asks it. During clean-up only a stop asked after the clean-up began counts.
    void set_interrupt(Interrupt check);
    bool interrupted();
    // From any thread: cut the command in flight short (the pass's reader, from the calling thread).
    void request_stop() { stop_.store(true); }
    // Whether a scan may still be open on the unit (SCAN ran, and nothing since said it ended).
    bool scan_open() const { return scan_open_; }

    std::optional<protocol::data::FrameTable> frame_table;
    protocol::caps::Capabilities caps;
    std::unique_ptr<transport::Transport> transport;
    std::shared_ptr<const protocol::curves::Curves> curves;  // empty until read
    std::uint16_t units = 0;
    bool reserved = false;

private:
    Session(protocol::caps::Capabilities caps, std::unique_ptr<transport::Transport> transport, clock::Clock& clock);

    error::Result<void> ready_at_open();
    error::Result<void> stop_stale_scan();
    error::Result<void> reserve();
    error::Result<void> set_units(std::uint16_t divisor);
    error::Result<Bytes> read_step(std::span<const std::uint8_t, 10> cdb, std::size_t n);
    error::Result<Handshake> handshake_once(std::span<const std::uint8_t> cdb, transport::Data data, Duration timeout);
    error::Result<bool> tolerate(std::span<const std::uint8_t, 6> cdb, Duration timeout);
    // ABORT, then the wait for readiness; false when the unit has no ABORT.
    error::Result<bool> abort_within(Duration abort_timeout, Duration ready_timeout);
    bool should_stop();
    void watch_transport();
    friend class Cleanup;

    clock::Clock* clock_;
    Interrupt interrupt_;
    std::thread::id interrupt_thread_;
    std::atomic<bool> stop_{false};
    bool scan_open_ = false;
};

// Best-effort clean-up after a failure, a cancel or a signal (stopping a scan, putting the frame
// table back, releasing): its commands are bounded, and only a stop the caller asks for after it
// began (a second Ctrl-C) cuts them short. A stop asked before it is forgotten.
class Cleanup {
public:
    explicit Cleanup(Session& session);
    ~Cleanup();
    Cleanup(const Cleanup&) = delete;
    Cleanup& operator=(const Cleanup&) = delete;

private:
    unsigned outer_baseline_;
    int outer_depth_;
};

// Stops the scan (best effort, `abandon_scan`) when a started pass is left any way but through
// `release`: an error, a cancel, a signal or a throw.
class ScanGuard {
public:
    explicit ScanGuard(Session& session) : session_(&session) {}
    ~ScanGuard();
    ScanGuard(const ScanGuard&) = delete;
    ScanGuard& operator=(const ScanGuard&) = delete;
    void release() { session_ = nullptr; }

private:
    Session* session_;
};

// The SCSI and vendor operation codes the session sends.
namespace opcode {
inline constexpr std::uint8_t TEST_UNIT_READY = 0x00;
inline constexpr std::uint8_t INQUIRY = 0x12;
inline constexpr std::uint8_t MODE_SELECT = 0x15;
inline constexpr std::uint8_t RESERVE_UNIT = 0x16;
inline constexpr std::uint8_t RELEASE_UNIT = 0x17;
inline constexpr std::uint8_t SCAN = 0x1B;
inline constexpr std::uint8_t SEND_DIAGNOSTIC = 0x1D;
inline constexpr std::uint8_t SET_WINDOW = 0x24;
inline constexpr std::uint8_t GET_WINDOW = 0x25;
inline constexpr std::uint8_t READ = 0x28;
inline constexpr std::uint8_t SEND = 0x2A;
inline constexpr std::uint8_t ABORT = 0xC0;
inline constexpr std::uint8_t TRIGGER = 0xC1;
inline constexpr std::uint8_t EXECUTE = 0xE0;
inline constexpr std::uint8_t GET_PARAMETER = 0xE1;
}  // namespace opcode

using protocol::image::BASE_DIVISOR;

// The coarse recipe a frame is metered with, and how the unit or the host meters it.
vexlor::scan::window::Recipe metering_recipe(const protocol::caps::Capabilities& caps, bool infrared);
error::Result<vexlor::scan::autoexpose::AutoExposure> metering_mechanism(const protocol::caps::Capabilities& caps,
                                                                         bool lock_white_balance);

// The 12-byte MODE SELECT list that sets the measurement-unit divisor (addresses per inch).
std::array<std::uint8_t, 12> units_page(std::uint16_t divisor);

}  // namespace vexlor::session
