#include "cpp/session/rig.hpp"

#include <algorithm>

#include "transport/linux.hpp"
#include "transport/usb.hpp"

namespace vexlor::test_support {

emulator::Response check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t fourth) {
    return emulator::Response::check(key, asc, ascq, fourth);
}

namespace {

std::size_t allocation(std::span<const std::uint8_t> cdb) {
    return (std::size_t{cdb[6]} << 16) | (std::size_t{cdb[7]} << 8) | cdb[8];
}

emulator::Response cut(std::vector<std::uint8_t> d, std::span<const std::uint8_t> cdb) {
    if (d.size() > allocation(cdb)) d.resize(allocation(cdb));
    return emulator::Response::with_data(std::move(d));
}

}  // namespace

emulator::Response record(std::uint8_t code, std::span<const std::uint8_t> payload, std::span<const std::uint8_t> cdb) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::vector<std::uint8_t> d{code, 0, static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                                static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    d.insert(d.end(), payload.begin(), payload.end());
    return cut(std::move(d), cdb);
}

emulator::Unit::Handler window_list(std::vector<std::vector<std::uint8_t>> descriptors, std::size_t stride) {
    return [descriptors, stride](emulator::Unit&, std::span<const std::uint8_t> cdb, std::span<const std::uint8_t>) {
        std::vector<std::uint8_t> d(8, 0);
        for (const auto& w : descriptors) {
            auto piece = w;
            piece.resize(stride, 0);
            d.insert(d.end(), piece.begin(), piece.end());
        }
        const std::size_t length = d.size() - 2;
        d[0] = static_cast<std::uint8_t>(length >> 8);
        d[1] = static_cast<std::uint8_t>(length);
        d[6] = static_cast<std::uint8_t>(stride >> 8);
        d[7] = static_cast<std::uint8_t>(stride);
        return cut(std::move(d), cdb);
    };
}

emulator::Unit::Handler on_nth(int n, emulator::Response r) {
    return [n, r, seen = std::make_shared<int>(0)](emulator::Unit& u, std::span<const std::uint8_t> cdb,
                                                 std::span<const std::uint8_t> out) {
        if (++*seen == n) return r;
        return u.standard(cdb, out);
    };
}

Rig::Rig(protocol::model::Model model, Handlers handlers) : unit(std::make_shared<emulator::Unit>(model)) {
    if (handlers == Handlers::Stateful) return;
    // Commands a test answers itself, or the unit does not have.
    for (const std::uint8_t op : {session::opcode::READ, session::opcode::SEND, session::opcode::SCAN, session::opcode::SEND_DIAGNOSTIC,
                                  session::opcode::EXECUTE, session::opcode::GET_PARAMETER, session::opcode::TRIGGER}) {
        unit->on(op, [](emulator::Unit&, auto, auto) { return check(5, 0x20, 0); });
    }
    const auto good = [](emulator::Unit&, std::span<const std::uint8_t>, std::span<const std::uint8_t>) {
        return emulator::Response::good();
    };
    unit->on(session::opcode::GET_WINDOW, window_list({}));
    unit->on(session::opcode::RESERVE_UNIT, good);
    unit->on(session::opcode::RELEASE_UNIT, good);
    unit->on(session::opcode::ABORT, good);
    unit->on(session::opcode::SET_WINDOW, emulator::Unit::Command{good, [](auto) { return std::size_t{58}; }});
    unit->on(session::opcode::MODE_SELECT, emulator::Unit::Command{good, [](auto cdb) { return std::size_t{cdb[4]}; }});
}

error::Result<session::Session> Rig::try_open(FlakyTransport::Pick fail) {
    closed = std::make_shared<bool>(false);
    std::unique_ptr<transport::Transport> t = std::make_unique<Watched>(std::make_unique<emulator::LocalTransport>(unit), closed);
    if (fail) t = std::make_unique<FlakyTransport>(std::move(t), std::move(fail));
    return session::Session::open(std::move(t), clock);
}

session::Session& Rig::open() {
    auto r = try_open();
    EXPECT_TRUE(r) << error::debug_string(r.error());
    session.emplace(std::move(*r));
    mark();
    return *session;
}

void Rig::mark() { mark_ = unit->received().size(); }

std::vector<Cdb> Rig::sent() const {
    const auto all = unit->received();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(mark_, all.size())), all.end()};
}

Bench::Bench(protocol::model::Model model, Front front) : front(front) {
    switch (front) {
        case Front::Local: unit = std::make_shared<emulator::Unit>(model); break;
        case Front::Usb:
            bed.emplace();
            unit = bed->add_usb(model, 1, {2}, {.product = protocol::model::usb_product(model).value_or(0x4001)});
            break;
        case Front::Sg:
            bed.emplace();
            unit = bed->add_sg("sg0", model);
            break;
    }
}

std::unique_ptr<transport::Transport> Bench::transport() {
    switch (front) {
        case Front::Local: return std::make_unique<emulator::LocalTransport>(unit);
        case Front::Usb: {
            auto list = transport::usb::enumerate();
            EXPECT_TRUE(list);
            for (const auto& d : *list) {
                if (d.vendor == 0x04B0) {
                    auto t = transport::usb::UsbTransport::open(d, link_clock);
                    EXPECT_TRUE(t);
                    return std::move(*t);
                }
            }
            ADD_FAILURE() << "the emulated unit was not enumerated";
            return nullptr;
        }
        case Front::Sg: {
            auto t = transport::linux::SgTransport::open("/dev/sg0");
            EXPECT_TRUE(t);
            return std::move(*t);
        }
    }
    return nullptr;
}

}  // namespace vexlor::test_support
