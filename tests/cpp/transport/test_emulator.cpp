// The emulated unit's own answers, driven in the process as a transport.
#include <gtest/gtest.h>

#include <tuple>

#include "emulator/unit.hpp"
#include "protocol/model.hpp"

namespace vexlor::emulator {
namespace {

using namespace std::chrono_literals;
using protocol::model::Model;

struct Answer {
    transport::Reply reply;
    std::vector<std::uint8_t> data;
};

Answer run_on(LocalTransport& t, std::vector<std::uint8_t> cdb, std::size_t in = 0, std::vector<std::uint8_t> out = {}) {
    Answer a;
    a.data.assign(in, 0);
    auto r = t.execute(cdb, in ? transport::Data::in(a.data) : out.empty() ? transport::Data::none() : transport::Data::out(out), 1s);
    EXPECT_TRUE(r);
    if (!r) return a;
    a.reply = *r;
    a.data.resize(r->transferred);
    return a;
}

Answer run(Unit& unit, std::vector<std::uint8_t> cdb, std::size_t in = 0) {
    LocalTransport t(std::shared_ptr<Unit>(&unit, [](Unit*) {}));
    return run_on(t, std::move(cdb), in);
}

void expect_refused(const Answer& a, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    EXPECT_EQ(a.reply.status.kind(), transport::Status::Kind::CheckCondition);
    ASSERT_TRUE(a.reply.sense);
    EXPECT_EQ(a.reply.sense->key, key);
    EXPECT_EQ(a.reply.sense->asc, asc);
    EXPECT_EQ(a.reply.sense->ascq, ascq);
}

TEST(EmulatedUnit, StandardInquiryNamesEveryModel) {
    for (Model m : {Model::Ls40, Model::Ls50, Model::Ls4000, Model::Ls5000, Model::Ls8000, Model::Ls9000}) {
        Unit unit(m);
        const Answer a = run(unit, {0x12, 0, 0, 0, 36, 0}, 36);
        ASSERT_EQ(a.data.size(), 36u);
        EXPECT_EQ(a.data[0], 0x06);
        EXPECT_EQ(a.data[4], 31);
        EXPECT_EQ(std::string(a.data.begin() + 8, a.data.begin() + 16), "VEXEMU  ");
        const std::string product(a.data.begin() + 16, a.data.begin() + 32);
        EXPECT_EQ(protocol::model::from_product(product), m) << product;
    }
}

TEST(EmulatedUnit, InquiryVariantsAndRefusals) {
    Unit unit(Model::Ls5000);
    unit.set_device_type(3);
    unit.set_qualifier(1);
    EXPECT_EQ(run(unit, {0x12, 0, 0, 0, 36, 0}, 36).data[0], 0x23);
    // The allocation length cuts the reply.
    EXPECT_EQ(run(unit, {0x12, 0, 0, 0, 5, 0}, 36).data.size(), 5u);
    unit.set_inquiry(Unit::Inquiry::Short);
    EXPECT_EQ(run(unit, {0x12, 0, 0, 0, 36, 0}, 36).data.size(), 35u);
    unit.set_inquiry(Unit::Inquiry::Check);
    EXPECT_EQ(run(unit, {0x12, 0, 0, 0, 36, 0}, 36).reply.status.kind(), transport::Status::Kind::CheckCondition);
    unit.set_inquiry(Unit::Inquiry::Ok);

    // A page the model does not publish, and an operation code nobody handles.
    expect_refused(run(unit, {0x12, 0x01, 0xEE, 0, 255, 0}, 255), 0x05, 0x24, 0x00);
    expect_refused(run(unit, {0xE7, 0, 0, 0, 0, 0}), 0x05, 0x20, 0x00);
    EXPECT_EQ(run(unit, {0x00, 0, 0, 0, 0, 0}).reply.status, transport::Status::good());
    EXPECT_EQ(unit.received().size(), 7u);
}

void expect_good(const Answer& a) {
    EXPECT_EQ(a.reply.status, transport::Status::good());
    EXPECT_FALSE(a.reply.sense && a.reply.sense->key != 0) << "sense key " << int(a.reply.sense->key);
}

void expect_not_ready(const Answer& a, std::uint8_t activity) {
    expect_refused(a, 0x02, 0x04, 0x01);
    ASSERT_TRUE(a.reply.sense);
    EXPECT_EQ(a.reply.sense->specific, activity);
}

const std::vector<std::uint8_t> TUR{0, 0, 0, 0, 0, 0};
const std::vector<std::uint8_t> TRIGGER{0xC1, 0, 0, 0, 0, 0};
std::vector<std::uint8_t> execute(std::uint8_t op) { return {0xE0, 0, op, 0, 0, 0, 0, 0, 9, 0}; }
std::vector<std::uint8_t> params(std::uint32_t first, std::uint32_t second = 0) {
    return {0, static_cast<std::uint8_t>(first >> 24), static_cast<std::uint8_t>(first >> 16), static_cast<std::uint8_t>(first >> 8),
            static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second >> 24), static_cast<std::uint8_t>(second >> 16),
            static_cast<std::uint8_t>(second >> 8), static_cast<std::uint8_t>(second)};
}

TEST(StatefulUnit, OperationsRunOnTheirTriggerAndTakeTheirPolls) {
    auto unit = std::make_shared<Unit>(Model::Ls5000);
    LocalTransport t(unit);
    expect_refused(run_on(t, TRIGGER), 0x05, 0x2C, 0x00);              // nothing to start
    expect_refused(run_on(t, execute(0xC1), 0, params(901)), 0x05, 0x26, 0x00);  // past the lens range
    expect_refused(run_on(t, execute(0x92), 0, params(0)), 0x05, 0x24, 0x00);    // not offered by this model
    unit->takes(0xC1, 3, activity::MEASURING);
    expect_good(run_on(t, execute(0xC1), 0, params(900)));
    expect_good(run_on(t, TUR));  // taken, not started
    expect_good(run_on(t, TRIGGER));
    for (int i = 0; i < 3; ++i) expect_not_ready(run_on(t, TUR), activity::MEASURING);
    EXPECT_NE(unit->focus(), 900u);
    expect_good(run_on(t, TUR));
    EXPECT_EQ(unit->focus(), 900u);
    EXPECT_EQ(run_on(t, {0xE1, 0, 0xC1, 0, 0, 0, 0, 0, 9, 0}, 9).data, params(900));

    // Loading with nothing waiting, and unloading twice.
    for (const auto& [op, key, asc, fourth] : std::vector<std::tuple<std::uint8_t, int, int, int>>{
             {0xD1, 2, 0x3A, 0}, {0xD0, 0, 0, 0}, {0xD0, 2, 0x3A, 1}}) {
        expect_good(run_on(t, execute(op), 0, params(0)));
        expect_good(run_on(t, TRIGGER));
        for (int poll = 0; poll < 2; ++poll) expect_not_ready(run_on(t, TUR), activity::MOVING);
        const Answer done = run_on(t, TUR);
        if (key == 0) {
            expect_good(done);
        } else {
            expect_refused(done, key, asc, 0);
            EXPECT_EQ(done.reply.sense->specific, fourth);
        }
    }
    EXPECT_FALSE(unit->loaded());
    expect_refused(run_on(t, TUR), 0x02, 0x3A, 0x00);
}

TEST(StatefulUnit, TheReservationBelongsToItsInitiator) {
    auto unit = std::make_shared<Unit>(Model::Ls9000);
    LocalTransport a(unit), b(unit);
    expect_good(run_on(a, {0x16, 0, 0, 0, 0, 0}));
    EXPECT_EQ(unit->reserved_by(), a.initiator());
    EXPECT_EQ(run_on(b, TUR).reply.status.kind(), transport::Status::Kind::ReservationConflict);
    EXPECT_EQ(run_on(b, {0x12, 0, 0, 0, 36, 0}, 36).data.size(), 36u);  // INQUIRY still answers
    expect_good(run_on(b, {0x17, 0, 0, 0, 0, 0}));                       // a stranger's release does nothing
    EXPECT_EQ(unit->reserved_by(), a.initiator());
    expect_good(run_on(a, TUR));
    expect_good(run_on(a, {0x17, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(unit->reserved_by());
    expect_good(run_on(b, TUR));
}

TEST(StatefulUnit, WindowsAndTablesAreHeld) {
    auto unit = std::make_shared<Unit>(Model::Ls8000);
    LocalTransport t(unit);
    const std::vector<std::uint8_t> get_all{0x25, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x80};
    Answer held = run_on(t, get_all, 255);
    ASSERT_EQ(held.data.size(), 8u + 3 * 50);
    EXPECT_EQ(held.data[1], 6 + 3 * 50);
    EXPECT_EQ(held.data[7], 50);
    // SET WINDOW of green replaces the power-on one and keeps the others.
    std::vector<std::uint8_t> list{0, 0, 0, 0, 0, 0, 0, 50};
    std::vector<std::uint8_t> green(50, 0x11);
    green[0] = 2;
    list.insert(list.end(), green.begin(), green.end());
    expect_good(run_on(t, {0x24, 0, 0, 0, 0, 0, 0, 0, 58, 0x80}, 0, list));
    held = run_on(t, get_all, 255);
    ASSERT_EQ(held.data.size(), 8u + 3 * 50);
    EXPECT_EQ(std::vector<std::uint8_t>(held.data.begin() + 58, held.data.begin() + 108), green);

    // A frame-position table sent is the one read back; a malformed one is refused.
    const std::vector<std::uint8_t> table{0x00, 0x0A, 0x01, 0x00, 0, 0, 0x10, 0, 0, 5, 1, 2};
    expect_good(run_on(t, {0x2A, 0, 0x8F, 0, 0, 3, 0, 0, 12, 0}, 0, table));
    const Answer read = run_on(t, {0x28, 0, 0x8F, 0, 0, 3, 0, 0, 18, 0x80}, 18);
    EXPECT_EQ(std::vector<std::uint8_t>(read.data.begin() + 6, read.data.end()), table);
    auto bad = table;
    bad[2] = 2;
    expect_refused(run_on(t, {0x2A, 0, 0x8F, 0, 0, 3, 0, 0, 12, 0}, 0, bad), 0x05, 0x26, 0x00);
    // A type the model does not offer.
    expect_refused(run_on(t, {0x28, 0, 0x89, 0, 0, 3, 0, 0, 6, 0x80}, 6), 0x05, 0x24, 0x00);
}

TEST(StatefulUnit, ScriptedBehavioursComeInTheirOrder) {
    auto unit = std::make_shared<Unit>(Model::Ls50);
    LocalTransport t(unit);
    unit->attention(2);
    unit->not_ready({{activity::MOVING, 2}, {activity::SHADING, 1}});
    unit->cooperate(0x00, {0x07, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, 2);
    unit->refuse(0x16, Unit::Refusal::Opcode);
    unit->adjust(0x00);
    for (int i = 0; i < 2; ++i) expect_refused(run_on(t, TUR), 0x06, 0x29, 0x00);
    EXPECT_EQ(run_on(t, {0x12, 0, 0, 0, 36, 0}, 36).data.size(), 36u);  // INQUIRY passes every script
    expect_not_ready(run_on(t, TUR), activity::MOVING);
    expect_not_ready(run_on(t, TUR), activity::MOVING);
    expect_not_ready(run_on(t, TUR), activity::SHADING);
    for (int i = 0; i < 2; ++i) {
        expect_refused(run_on(t, TUR), 0x09, 0x80, 0x07);
        const Answer coop = run_on(t, {0x28, 0, 0x87, 0, 0, 0, 0, 0, 19, 0x80}, 19);
        EXPECT_EQ(coop.data.size(), 19u);
        EXPECT_EQ(coop.data[6], 0x07);
    }
    EXPECT_EQ(unit->attentions_raised(), 2);
    EXPECT_EQ(unit->cooperation_reads(), 2);
    expect_refused(run_on(t, TUR), 0x01, 0x37, 0x00);
    expect_good(run_on(t, TUR));
    expect_refused(run_on(t, {0x16, 0, 0, 0, 0, 0}), 0x05, 0x20, 0x00);
    unit->unplug(0x00);
    EXPECT_FALSE(t.execute(TUR, transport::Data::none(), 1s));
    const std::vector<std::uint8_t> inquiry{0x12, 0, 0, 0, 0, 0};
    EXPECT_FALSE(t.execute(inquiry, transport::Data::none(), 1s));  // gone for good
}

}  // namespace
}  // namespace vexlor::emulator
