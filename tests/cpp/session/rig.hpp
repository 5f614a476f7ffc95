// A session over an in-process emulated unit whose handlers the test scripts, and a clock that
// only moves when the session sleeps.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "cpp/fake_clock.hpp"
#include "emulator/unit.hpp"
#include "session/session.hpp"

namespace vexlor::test_support {

using Cdb = std::vector<std::uint8_t>;

// Fails the commands `fail` picks with a link error, passing the others through.
class FlakyTransport final : public transport::Transport {
public:
    using Pick = std::function<std::optional<transport::Error>(std::span<const std::uint8_t>)>;
    FlakyTransport(std::unique_ptr<transport::Transport> inner, Pick fail) : inner_(std::move(inner)), fail_(std::move(fail)) {}
    std::size_t max_transfer() const override { return inner_->max_transfer(); }
    std::expected<transport::Reply, transport::Error> execute(std::span<const std::uint8_t> cdb, transport::Data data,
                                                              transport::Duration timeout) override {
        if (auto e = fail_(cdb)) return std::unexpected(*e);
        return inner_->execute(cdb, data, timeout);
    }

private:
    std::unique_ptr<transport::Transport> inner_;
    Pick fail_;
};

emulator::Response check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t fourth = 0);

// A vendor record reply: the 6-byte header and the payload, cut to the READ's length.
emulator::Response record(std::uint8_t code, std::span<const std::uint8_t> payload, std::span<const std::uint8_t> cdb);

// GET WINDOW answering with these descriptors at this stride.
emulator::Unit::Handler window_list(std::vector<std::vector<std::uint8_t>> descriptors, std::size_t stride = 50);

struct Rig {
    explicit Rig(protocol::model::Model model = protocol::model::Model::Ls50);

    // Opens the session; the command log starts after the open.
    session::Session& open();
    error::Result<session::Session> try_open(FlakyTransport::Pick fail = {});
    // Commands the unit received since the session opened (or since `mark`).
    std::vector<Cdb> sent() const;
    void mark();

    std::shared_ptr<emulator::Unit> unit;
    StepClock clock;
    std::optional<session::Session> session;
    std::size_t mark_ = 0;
};

}  // namespace vexlor::test_support
