// A session over an in-process emulated unit, either the stateful unit as it powers on or one
// whose handlers the test scripts, and a clock that only moves when the session sleeps.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "cpp/fake_clock.hpp"
#include "emulator/testbed.hpp"
#include "emulator/unit.hpp"
#include "session/session.hpp"

namespace vexlor::test_support {

using Cdb = std::vector<std::uint8_t>;

// Fails the commands `fail` picks with a link error, passing the others through.
class FlakyTransport final : public transport::Forwarding {
public:
    using Pick = std::function<std::optional<transport::Error>(std::span<const std::uint8_t>)>;
    FlakyTransport(std::unique_ptr<transport::Transport> inner, Pick fail) : Forwarding(std::move(inner)), fail_(std::move(fail)) {}
    std::expected<transport::Reply, transport::Error> execute(std::span<const std::uint8_t> cdb, transport::Data data,
                                                              transport::Duration timeout) override {
        if (auto e = fail_(cdb)) return std::unexpected(*e);
        return Forwarding::execute(cdb, data, timeout);
    }

private:
    Pick fail_;
};

emulator::Response check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t fourth = 0);

// A vendor record reply: the 6-byte header and the payload, cut to the READ's length.
emulator::Response record(std::uint8_t code, std::span<const std::uint8_t> payload, std::span<const std::uint8_t> cdb);

// GET WINDOW answering with these descriptors at this stride.
emulator::Unit::Handler window_list(std::vector<std::vector<std::uint8_t>> descriptors, std::size_t stride = 50);

// Marks a flag when the transport it wraps is closed (dropped).
class Watched final : public transport::Forwarding {
public:
    Watched(std::unique_ptr<transport::Transport> inner, std::shared_ptr<bool> closed)
        : Forwarding(std::move(inner)), closed_(std::move(closed)) {}
    ~Watched() override { *closed_ = true; }

private:
    std::shared_ptr<bool> closed_;
};

// A handler answering `r` to the `n`th command of its operation code (from 1) and as the unit
// would to the others.
emulator::Unit::Handler on_nth(int n, emulator::Response r);

struct Rig {
    // Scripted: GET WINDOW holds no windows, GET PARAMETER and EXECUTE are unknown, so opening
    // never stages the lens; Stateful: the unit as it powers on, every command its own.
    enum class Handlers { Scripted, Stateful };
    explicit Rig(protocol::model::Model model = protocol::model::Model::Ls50, Handlers handlers = Handlers::Scripted);

    // Opens the session; the command log starts after the open.
    session::Session& open();
    error::Result<session::Session> try_open(FlakyTransport::Pick fail = {});
    // Commands the unit received since the session opened (or since `mark`).
    std::vector<Cdb> sent() const;
    void mark();

    std::shared_ptr<emulator::Unit> unit;
    std::shared_ptr<bool> closed = std::make_shared<bool>(false);  // the last transport opened was dropped
    StepClock clock;
    std::optional<session::Session> session;
    std::size_t mark_ = 0;
};

enum class Front { Local, Usb, Sg };

// A stateful unit behind one of the three fronts (in process, USB or SG through the umockdev
// testbed), and the session's transport to it.
struct Bench {
    Bench(protocol::model::Model model, Front front);
    std::unique_ptr<transport::Transport> transport();
    error::Result<session::Session> open() { return session::Session::open(transport(), clock); }

    Front front;
    std::optional<emulator::Testbed> bed;
    std::shared_ptr<emulator::Unit> unit;
    SkipClock link_clock;
    StepClock clock;
};

}  // namespace vexlor::test_support
