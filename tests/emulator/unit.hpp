// The emulated unit: a model answering the command set from a state it keeps, scripted to
// misbehave per command. The USB and SG fronts (testbed.hpp) and the in-process adapter below
// all drive one of these.
//
// Every command runs through `execute`: first the scripted behaviours (an unplugged link, a
// reservation held by another initiator, unit attentions, not-ready spells, cooperation requests,
// refusals, failures, adjustments), then a test's own handler for the operation code when one was
// installed with `on`, else the unit's own answer from its state (`standard`).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/film.hpp"
#include "emulator/pages.hpp"
#include "emulator/render.hpp"
#include "protocol/data.hpp"
#include "protocol/model.hpp"
#include "transport/transport.hpp"

namespace vexlor::emulator {

// A command the unit takes and then never finishes: the data phase it announces never comes, it
// answers busy to every phase query, or it leaves phase queries unanswered (USB); over SG no reply
// comes until the driver's own time-out.
enum class Stall { None, Data, Busy, Silent };

// What the unit makes of one command.
struct Response {
    std::uint8_t status = 0x00;
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    std::uint8_t fourth = 0;
    std::vector<std::uint8_t> data_in;  // what the unit sends, already cut to the allocation length
    bool gone = false;                  // the unit is unplugged: the link fails, nothing is answered
    bool ili = false;                   // sense with ILI and `information` (sense data carries it; a USB status block cannot)
    std::uint32_t information = 0;
    Stall stall = Stall::None;

    static Response good() { return {}; }
    static Response check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t fourth = 0) {
        return Response{0x02, key, asc, ascq, fourth, {}};
    }
    static Response with_data(std::vector<std::uint8_t> d) { return Response{0x00, 0, 0, 0, 0, std::move(d)}; }
    static Response unplugged() {
        Response r;
        r.gone = true;
        return r;
    }
};

// How the unit misbehaves during one command (the default misbehaves in no way).
struct Fault {
    // USB framing
    int busy_queries = 0;                             // the first N phase queries answer 04h
    std::chrono::nanoseconds busy_for{0};              // or: busy for this long after the command
    std::deque<std::vector<std::uint8_t>> phase_answers{};  // raw answers to the first phase queries
    int silent_queries = 0;                           // then N phase queries get no answer at all
    bool silent_data = false;                         // announce the data/status phase but send nothing
    std::vector<std::size_t> chunks{};                // sizes of the first data-in packets sent
    std::size_t block = 0;                            // then send the rest in pieces of this size
    std::size_t extra_bytes = 0;                      // bytes sent after the data (padding)
    bool empty_data = false;                          // an empty packet follows the data
    std::size_t status_length = 8;                    // 7 gives a short status block
    bool stall_in = false;                            // the first IN transfer after the command halts
    bool stall_out = false;                           // the command write halts the OUT endpoint
    // SG
    std::optional<std::uint16_t> host_status{};
    std::optional<int> sense_length{};                // sb_len_wr to report (sense bytes filled to it)
    std::optional<int> resid{};
    bool driver_timeout = false;                      // complete with host status 3
};

// The allocation length a data-in command names: byte 4 of a 6-byte CDB, bytes 6-8 of a longer one.
std::size_t allocation_length(std::span<const std::uint8_t> cdb);

// One initiator's link to the unit (a transport, an open device node); 0 is the anonymous one.
using Initiator = std::uint64_t;

// Activities a not-ready answer names (its fourth code).
namespace activity {
inline constexpr std::uint8_t OPERATING = 0;
inline constexpr std::uint8_t MOVING = 1;
inline constexpr std::uint8_t MEASURING = 2;
inline constexpr std::uint8_t SHADING = 4;
}  // namespace activity

// One stretch of a not-ready spell: `polls` commands answered not ready with `activity`.
struct Spell {
    std::uint8_t activity = activity::OPERATING;
    int polls = 1;
};

// How the unit misbehaves during a pass's image READs.
struct ImageFaults {
    std::optional<std::uint64_t> end_at{};  // the unit holds only this many bytes: the READ reaching it comes back short
    bool ili = false;                       // ... reported as ILI with the residue (on SG) rather than a short transfer
    std::uint64_t surplus = 0;              // bytes the unit holds beyond the pass
    std::optional<int> fail_at{};           // the nth image READ (from 1) fails with a hardware error
    std::optional<int> refused_at{};        // the nth image READ is refused out of sequence, the stream over
    std::optional<int> silent_at{};         // from the nth image READ on the unit answers nothing
    double rate = 0;                        // bytes a second the READs deliver; 0: as fast as they go
    int start_polls = 0;                    // after SCAN the unit answers this many TEST UNIT READYs not ready
    std::optional<int> stall_at{};          // from the nth image READ on the unit stalls, as `stall` says
    Stall stall = Stall::Data;
};

// A command the unit ran, as it arrived.
struct Logged {
    std::vector<std::uint8_t> cdb;
    std::vector<std::uint8_t> out;  // the data-out bytes, if any
    Initiator initiator = 0;
};

class Unit {
public:
    // A command's handler; `out` holds the data-out bytes when the command carries them.
    using Handler = std::function<Response(Unit&, std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out)>;
    struct Command {
        Handler handler;
        // The data-out length the command carries (0 for none).
        std::function<std::size_t(std::span<const std::uint8_t> cdb)> out_length;
    };

    explicit Unit(protocol::model::Model model);

    protocol::model::Model model() const;
    // Becomes a unit of another model, its pages and its power-on state included.
    void set_model(protocol::model::Model m);

    // Replaces (or adds) the handler of one operation code; `standard` is the unit's own answer.
    void on(std::uint8_t opcode, Command c);
    void on(std::uint8_t opcode, Handler h) { on(opcode, Command{std::move(h), {}}); }
    // Called from a handler, it answers for the initiator whose command that is.
    Response standard(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out = {});

    std::size_t out_length(std::span<const std::uint8_t> cdb) const;
    Response execute(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out = {}, Initiator who = 0);
    // A new initiator id, for one transport or one open device node.
    Initiator connect();

    // Faults for the coming commands, one per command in order.
    void script(Fault f);
    Fault next_fault();

    // INQUIRY's standard data: peripheral qualifier and device type, and how INQUIRY answers. The
    // fronts read these on their own threads, so they change only under the unit's mutex.
    enum class Inquiry { Ok, Check, Short };
    void set_device_type(std::uint8_t type);
    void set_qualifier(std::uint8_t qualifier);
    void set_inquiry(Inquiry how);
    void set_product(std::string product);  // overrides the model's product text

    // ---- state ----
    // A holder or film in the unit; whether the adapter has something waiting to be taken in.
    void set_loaded(bool loaded);
    bool loaded() const;
    void set_waiting(bool waiting);
    bool waiting() const;
    // A scan open on the unit (left by an earlier process, or entered by SCAN); ABORT ends it.
    void set_scanning(bool scanning);
    bool scanning() const;
    std::optional<Initiator> reserved_by() const;
    void set_reserved_by(std::optional<Initiator> who);  // another host's reservation, for tests
    std::uint16_t divisor() const;                        // the last MODE SELECT's, 1200 at power-on
    std::uint32_t focus() const;
    void set_focus(std::uint32_t position);
    // The windows the unit holds, as 50-byte descriptors in identifier order.
    std::vector<std::array<std::uint8_t, 50>> windows() const;
    // The frame tables last sent (Boundary, Boundary2), as their wire bytes.
    std::optional<std::vector<std::uint8_t>> table(std::uint8_t type) const;
    // What the unit publishes: a copy to change (E1 ops, data types...) or to read.
    ModelValues values() const;
    void edit(const std::function<void(ModelValues&)>& change);

    // The film in the holder; a pass renders from it.
    void set_film(film::Film f);
    film::Film film() const;
    // The pass SCAN started last (none before the first): what the unit sends and means.
    std::shared_ptr<const render::Stream> pass() const;
    // The perforation readings the unit hands over now (data type 8Eh): one per line of the last
    // thumbnail pass.
    std::vector<protocol::data::PerforationInformation> perforations() const;
    // Image READs received since the last SCAN.
    int image_reads() const;

    // ---- scripting ----
    // Faults for the image READs of the passes to come (until replaced).
    void script_image(ImageFaults f);
    // The next commands (INQUIRY excepted) answer not ready, stretch by stretch.
    void not_ready(std::vector<Spell> spell);
    // The next `count` commands (INQUIRY excepted) raise a unit attention (06h with asc/ascq).
    void attention(int count, std::uint8_t asc = 0x29, std::uint8_t ascq = 0x00);
    int attentions_raised() const;
    // The next `times` commands with this operation code ask for host cooperation with `record`
    // (its first byte is the kind, also the request's ASCQ); READ of data type 87h hands it over.
    void cooperate(std::uint8_t opcode, std::vector<std::uint8_t> record, int times = 1);
    int cooperation_reads() const;
    // Refusals of an operation code: invalid operation code (the unit lacks it), command
    // sequence error, or invalid field; `times` < 0 refuses for good.
    enum class Refusal { Opcode, Sequence, Field };
    void refuse(std::uint8_t opcode, Refusal how = Refusal::Opcode, int times = -1);
    // The next `times` commands with this operation code fail with this sense (a hardware error by default).
    void fail(std::uint8_t opcode, int times = 1, std::array<std::uint8_t, 3> sense = {0x04, 0x44, 0x00});
    // The next `times` commands with this operation code succeed with a note (sense key 1).
    void adjust(std::uint8_t opcode, int times = 1, std::uint8_t asc = 0x37, std::uint8_t ascq = 0x00);
    // How many TEST UNIT READYs an EXECUTE operation stays busy for, and with which activity.
    void takes(std::uint8_t op, int polls, std::uint8_t activity = activity::MOVING);
    // Autofocus runs without reaching focus: the mechanism error, explained by SEND DIAGNOSTIC.
    void set_focus_found(bool found);
    bool focus_found() const;
    // The unit answers this VPD page, or this data type's record payload, with these bytes instead.
    void set_page(std::uint8_t code, std::vector<std::uint8_t> bytes);
    void set_record(std::uint8_t type, std::vector<std::uint8_t> payload);
    // The next `times` commands with this operation code stall (`times` < 0: for good).
    void stall(std::uint8_t opcode, Stall how, int times = -1);
    // The link fails from now on, or from the first command with this operation code.
    void unplug(std::optional<std::uint8_t> at_opcode = std::nullopt);
    bool unplugged() const;

    // Every command the unit received, in order.
    std::vector<std::vector<std::uint8_t>> received() const;
    std::vector<Logged> log() const;

    std::mutex& mutex() const { return mutex_; }

private:
    struct Pending {
        std::uint8_t op = 0;
        protocol::data::Operation params;
        int polls = 0;
        std::uint8_t activity = activity::MOVING;
    };
    struct Scripted {
        int times = 0;  // < 0: for good
        Response answer;
    };
    struct Coop {
        std::uint8_t opcode = 0;
        std::vector<std::uint8_t> record;
        int times = 0;
    };

    void power_on();
    std::optional<Response> scripted(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out, Initiator who);
    Response start_scan(std::span<const std::uint8_t> out);
    Response read_image(std::span<const std::uint8_t> cdb);
    void meter(std::vector<protocol::window::Window>& windows) const;
    Response run_standard(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out, Initiator who);
    Response inquiry_reply(std::span<const std::uint8_t> cdb);
    Response read_record(std::span<const std::uint8_t> cdb);
    Response send_record(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out);
    Response set_window(std::span<const std::uint8_t> out);
    Response get_window(std::span<const std::uint8_t> cdb) const;
    Response execute_op(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out);
    Response trigger();
    Response ready();
    std::optional<std::vector<std::uint8_t>> record_payload(std::uint8_t type, std::uint8_t qualifier) const;
    std::vector<protocol::data::PerforationInformation> readings() const;
    bool offers_op(std::uint8_t op) const;

    mutable std::mutex mutex_;
    protocol::model::Model model_;
    ModelValues values_;
    std::uint8_t device_type_ = 6;
    std::uint8_t qualifier_ = 0;
    Inquiry inquiry_ = Inquiry::Ok;
    std::optional<std::string> product_;
    std::map<std::uint8_t, Command> commands_;
    std::deque<Fault> script_;
    std::vector<Logged> log_;
    Initiator next_initiator_ = 1;

    // State.
    bool loaded_ = true;
    bool waiting_ = false;
    bool scanning_ = false;
    std::optional<Initiator> reserved_by_;
    std::uint16_t divisor_ = 1200;
    std::uint32_t focus_ = 0;
    std::map<std::uint8_t, std::array<std::uint8_t, 50>> windows_;
    std::map<std::uint8_t, std::vector<std::uint8_t>> tables_;  // sent records by data type
    std::optional<Pending> armed_;                               // EXECUTE taken, not yet triggered
    std::optional<Pending> running_;                             // triggered, finishing
    std::optional<std::array<std::uint8_t, 3>> diagnosis_;        // what SEND DIAGNOSTIC explains
    bool focus_found_ = true;
    std::map<std::uint8_t, std::pair<int, std::uint8_t>> durations_;  // op -> polls, activity
    std::shared_ptr<const film::Film> film_;
    std::shared_ptr<render::Stream> stream_;                        // the pass being read
    std::shared_ptr<const render::Stream> pass_;                   // the last pass started
    std::shared_ptr<const render::Stream> thumbnail_;              // the last thumbnail pass: the perforation readings
    std::optional<protocol::data::Truncation> truncation_;         // announced by a cooperation during SCAN
    std::uint64_t surplus_left_ = 0;
    int warming_ = 0;  // TEST UNIT READYs still to answer not ready at the start of a pass
    int image_reads_ = 0;
    ImageFaults image_faults_;
    std::chrono::nanoseconds pace_{0};                              // how long the READ just answered takes

    // Scripts.
    std::deque<Spell> spell_;
    int attentions_left_ = 0;
    std::pair<std::uint8_t, std::uint8_t> attention_code_{0x29, 0x00};
    int attentions_raised_ = 0;
    std::deque<Coop> coops_;
    std::optional<std::vector<std::uint8_t>> coop_record_;  // the request being answered
    int coop_reads_ = 0;
    std::map<std::uint8_t, Scripted> refusals_;
    std::map<std::uint8_t, Scripted> failures_;
    std::map<std::uint8_t, Scripted> adjustments_;
    std::map<std::uint8_t, std::vector<std::uint8_t>> pages_;
    std::map<std::uint8_t, std::vector<std::uint8_t>> records_;
    bool unplugged_ = false;
    std::optional<std::uint8_t> unplug_at_;
    std::map<std::uint8_t, std::pair<Stall, int>> stalls_;
};

// The INQUIRY product text the emulator uses for a model ("LS-5000 ED" style).
std::string product_text(protocol::model::Model m);

// Drives a unit directly as a transport, in the process, with no framing in between; each
// transport is an initiator of its own.
class LocalTransport final : public transport::Transport {
public:
    explicit LocalTransport(std::shared_ptr<Unit> unit, std::size_t max_transfer = 131072)
        : unit_(std::move(unit)), max_transfer_(max_transfer), initiator_(unit_->connect()) {}
    std::size_t max_transfer() const override { return max_transfer_; }
    std::expected<transport::Reply, transport::Error> execute(std::span<const std::uint8_t> cdb, transport::Data data,
                                                              transport::Duration timeout) override;
    Initiator initiator() const { return initiator_; }

private:
    std::shared_ptr<Unit> unit_;
    std::size_t max_transfer_;
    Initiator initiator_;
};

}  // namespace vexlor::emulator
