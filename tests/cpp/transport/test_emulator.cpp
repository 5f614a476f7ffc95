// The emulated unit's own answers, driven in the process as a transport.
#include <gtest/gtest.h>

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

Answer run(Unit& unit, std::vector<std::uint8_t> cdb, std::size_t in = 0) {
    LocalTransport t(std::shared_ptr<Unit>(&unit, [](Unit*) {}));
    Answer a;
    a.data.assign(in, 0);
    auto r = t.execute(cdb, in ? transport::Data::in(a.data) : transport::Data::none(), 1s);
    EXPECT_TRUE(r);
    a.reply = *r;
    a.data.resize(r->transferred);
    return a;
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

}  // namespace
}  // namespace vexlor::emulator
