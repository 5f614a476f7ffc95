// The emulated unit: a model answering the command set, scripted to misbehave per command.
// The USB and SG fronts (testbed.hpp) and the in-process adapter below all drive one of these.
#pragma once

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

#include "protocol/model.hpp"
#include "transport/transport.hpp"

namespace vexlor::emulator {

// What the unit makes of one command.
struct Response {
    std::uint8_t status = 0x00;
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    std::uint8_t fourth = 0;
    std::vector<std::uint8_t> data_in;  // what the unit sends, already cut to the allocation length

    static Response good() { return {}; }
    static Response check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t fourth = 0) {
        return Response{0x02, key, asc, ascq, fourth, {}};
    }
    static Response with_data(std::vector<std::uint8_t> d) { return Response{0x00, 0, 0, 0, 0, std::move(d)}; }
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

    protocol::model::Model model() const { return model_; }
    void set_model(protocol::model::Model m);

    // Replaces (or adds) the handler of one operation code.
    void on(std::uint8_t opcode, Command c);
    void on(std::uint8_t opcode, Handler h) { on(opcode, Command{std::move(h), {}}); }

    std::size_t out_length(std::span<const std::uint8_t> cdb) const;
    Response execute(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out = {});

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

    // Every CDB the unit received, in order.
    std::vector<std::vector<std::uint8_t>> received() const;

    std::mutex& mutex() const { return mutex_; }

private:
    Response inquiry_reply(std::span<const std::uint8_t> cdb);

    mutable std::mutex mutex_;
    protocol::model::Model model_;
    std::uint8_t device_type_ = 6;
    std::uint8_t qualifier_ = 0;
    Inquiry inquiry_ = Inquiry::Ok;
    std::optional<std::string> product_;
    std::map<std::uint8_t, Command> commands_;
    std::deque<Fault> script_;
    std::vector<std::vector<std::uint8_t>> received_;
};

// The INQUIRY product text the emulator uses for a model ("LS-5000 ED" style).
std::string product_text(protocol::model::Model m);

// Drives a unit directly as a transport, in the process, with no framing in between.
class LocalTransport final : public transport::Transport {
public:
    explicit LocalTransport(std::shared_ptr<Unit> unit, std::size_t max_transfer = 131072)
        : unit_(std::move(unit)), max_transfer_(max_transfer) {}
    std::size_t max_transfer() const override { return max_transfer_; }
    std::expected<transport::Reply, transport::Error> execute(std::span<const std::uint8_t> cdb, transport::Data data,
                                                              transport::Duration timeout) override;

private:
    std::shared_ptr<Unit> unit_;
    std::size_t max_transfer_;
};

}  // namespace vexlor::emulator
