#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "device/device.hpp"

using namespace vexlor;
using device::Attach;
using device::Device;
using protocol::model::Model;

namespace {

Device usb(std::string bus, std::vector<std::uint8_t> ports) {
    return Device{Attach{Attach::Usb{std::move(bus), std::move(ports)}}, std::nullopt, true, std::nullopt};
}

Device scsi(std::string path) { return Device{Attach{Attach::Scsi{std::move(path)}}, std::nullopt, true, std::nullopt}; }

// 36 bytes of standard INQUIRY data.
std::vector<std::uint8_t> inquiry_data(std::uint8_t byte0, const char* vendor, const char* product) {
    std::vector<std::uint8_t> b(36, ' ');
    b[0] = byte0;
    b[1] = 0x80;
    b[2] = 0x02;
    b[3] = 0x02;
    b[4] = 31;
    b[5] = b[6] = b[7] = 0;
    std::memcpy(&b[8], vendor, std::min<std::size_t>(8, std::strlen(vendor)));
    std::memcpy(&b[16], product, std::min<std::size_t>(16, std::strlen(product)));
    std::memcpy(&b[32], "1.02", 4);
    return b;
}

// Answers each command from a script and records what it was asked.
class FakeTransport final : public transport::Transport {
public:
    struct Answer {
        std::vector<std::uint8_t> data;
        std::expected<transport::Reply, transport::Error> reply;
    };
    std::deque<Answer> answers;
    std::vector<std::vector<std::uint8_t>> cdbs;
    std::vector<std::size_t> in_sizes;
    std::vector<transport::Duration> timeouts;

    std::size_t max_transfer() const override { return 65536; }
    std::expected<transport::Reply, transport::Error> execute(std::span<const std::uint8_t> cdb, transport::Data data,
                                                              transport::Duration timeout) override {
        cdbs.emplace_back(cdb.begin(), cdb.end());
        timeouts.push_back(timeout);
        auto* in = std::get_if<transport::Data::In>(&data.value);
        in_sizes.push_back(in ? in->buffer.size() : 0);
        if (answers.empty()) return std::unexpected(transport::Error::io(transport::IoKind::Other, "no answer"));
        Answer a = std::move(answers.front());
        answers.pop_front();
        if (in) std::copy_n(a.data.begin(), std::min(a.data.size(), in->buffer.size()), in->buffer.begin());
        return a.reply;
    }
};

transport::Reply reply(std::size_t transferred, transport::Status status = transport::Status::good()) {
    return transport::Reply{std::nullopt, transferred, status};
}

}  // namespace

TEST(Attach, LocationTexts) {
    EXPECT_EQ(device::to_string(usb("003", {1, 4}).attach), "usb:003-1.4");
    EXPECT_EQ(device::to_string(usb("001", {2}).attach), "usb:001-2");
    EXPECT_EQ(device::to_string(usb("002", {1, 2, 255}).attach), "usb:002-1.2.255");
    EXPECT_EQ(device::to_string(scsi("/dev/sg2").attach), "/dev/sg2");
    EXPECT_EQ(fmt::format("{}", usb("003", {1, 4}).attach), "usb:003-1.4");
}

TEST(Selector, MatchesLocationsIgnoringAsciiCaseOnly) {
    const std::vector<Device> devices{usb("003", {1, 4}), scsi("/dev/sg2"), usb("001", {2})};
    struct Case {
        std::string text;
        int index;  // -1: no match
    };
    const Case cases[] = {
        {"usb:003-1.4", 0}, {"USB:003-1.4", 0}, {"/DEV/SG2", 1}, {"usb:001-2", 2},
        {"USB:003-1.4 ", -1}, {" usb:003-1.4", -1}, {"usb:003-1", -1}, {"usb:003-1.4.1", -1}, {"", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto r = device::Selector::location(c.text).resolve(devices);
        if (c.index < 0) {
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(device::to_string(r.error()), "no scanner matched");
        } else {
            ASSERT_TRUE(r.has_value());
            EXPECT_EQ(*r, &devices[static_cast<std::size_t>(c.index)]);
        }
    }
}

TEST(Selector, NothingListedMatchesNothing) {
    auto r = device::Selector::location("usb:003-1.4").resolve({});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), device::SelectError{device::SelectError::NoMatch{}});
}

TEST(Selector, SeveralMatchesAreAmbiguousInListOrder) {
    const std::vector<Device> devices{scsi("/dev/SG1"), usb("001", {2}), scsi("/dev/sg1")};
    auto r = device::Selector::location("/dev/Sg1").resolve(devices);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (device::SelectError{device::SelectError::Ambiguous{{"/dev/SG1", "/dev/sg1"}}}));
    EXPECT_EQ(device::to_string(r.error()), "more than one scanner matched: /dev/SG1, /dev/sg1");
}

TEST(Device, Names) {
    protocol::caps::identity::Identity id;
    id.device_type = 6;
    id.vendor = "VEXEMU";
    id.product = "LS-50 ED";
    struct Case {
        bool answered;
        std::optional<Model> model;
        std::optional<protocol::caps::identity::Identity> identity;
        std::string name;
    };
    const Case cases[] = {
        {false, Model::Ls50, std::nullopt, "LS-50 (in use)"},
        {true, Model::Ls5000, std::nullopt, "LS-5000 (no answer)"},
        {true, std::nullopt, std::nullopt, "(no answer)"},
        {false, std::nullopt, std::nullopt, "(in use)"},
        {true, Model::Ls50, id, "VEXEMU LS-50 ED"},
    };
    for (const auto& c : cases) {
        Device d = usb("001", {2});
        d.answered = c.answered;
        d.model = c.model;
        d.identity = c.identity;
        EXPECT_EQ(d.name(), c.name);
    }
}

TEST(Probe, SendsOneInquiryForThirtySixBytes) {
    FakeTransport t;
    t.answers.push_back({inquiry_data(0x06, "VEXEMU", "LS-50 ED"), reply(36)});
    auto id = device::probe(t);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->vendor, "VEXEMU");
    EXPECT_EQ(id->product, "LS-50 ED");
    ASSERT_EQ(t.cdbs.size(), 1u);
    EXPECT_EQ(t.cdbs[0], (std::vector<std::uint8_t>{0x12, 0x00, 0x00, 0x00, 0x24, 0x00}));
    EXPECT_EQ(t.in_sizes[0], 36u);
    EXPECT_EQ(t.timeouts[0], std::chrono::seconds(5));
}

TEST(Probe, AcceptsOnlyAFullGoodScannerAnswer) {
    const auto scanner = inquiry_data(0x06, "VEXEMU", "LS-5000 ED");
    transport::Sense sense;
    sense.key = 0x05;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> data;
        std::expected<transport::Reply, transport::Error> reply;
        bool accepted;
    };
    const Case cases[] = {
        {"good, 36 bytes", scanner, reply(36), true},
        {"good with sense ignored", scanner, transport::Reply{sense, 36, transport::Status::good()}, true},
        {"more than asked counts as 36", scanner, reply(40), true},
        {"35 bytes", scanner, reply(35), false},
        {"check condition", scanner, transport::Reply{sense, 36, transport::Status::check_condition()}, false},
        {"busy", scanner, reply(36, transport::Status::busy()), false},
        {"processor (type 5)", inquiry_data(0x05, "VEXEMU", "LS-50"), reply(36), false},
        {"qualifier 1", inquiry_data(0x26, "VEXEMU", "LS-50"), reply(36), false},
        {"link time-out", scanner, std::unexpected(transport::Error::timeout(std::chrono::seconds(5))), false},
        {"link failure", scanner, std::unexpected(transport::Error::io(transport::IoError::os(5))), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransport t;
        t.answers.push_back({c.data, c.reply});
        EXPECT_EQ(device::probe(t).has_value(), c.accepted);
    }
}

// Against the emulated units: the machine-facing half of discovery.
#include "diag/log.hpp"
#include "emulator/testbed.hpp"

namespace {

const Device* at(const std::vector<Device>& devices, std::string_view location) {
    for (const auto& d : devices) {
        if (device::to_string(d.attach) == location) return &d;
    }
    return nullptr;
}

}  // namespace

TEST(Discovery, OpensAUsbUnitByWhereItIsPlugged) {
    emulator::Testbed bed;
    bed.add_usb(Model::Ls50, 1, {2, 3});
    bed.add_usb(Model::Ls5000, 1, {4});
    const auto devices = device::list();
    const Device* d = at(devices, "usb:001-2.3");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->model, Model::Ls50);
    EXPECT_TRUE(d->answered);
    ASSERT_TRUE(d->identity.has_value());

    auto link = d->open();
    ASSERT_TRUE(link.has_value()) << error::to_string(link.error());
    EXPECT_EQ(device::probe(**link), d->identity);
    link->reset();

    bed.remove_usb(1, {2, 3});
    auto gone = d->open();
    ASSERT_FALSE(gone.has_value());
    EXPECT_EQ(gone.error(), error::Error::not_found());
    EXPECT_TRUE(at(devices, "usb:001-4")->open().has_value());
}

TEST(Discovery, AUnitHeldElsewhereIsListedAsInUse) {
    emulator::Testbed bed;
    bed.add_usb(Model::Ls50, 1, {2}, emulator::UsbOptions{.product = 0x4001, .claimed = true});
    diag::Capture capture;
    const auto devices = device::list();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name(), "LS-50 (in use)");
    const auto events = capture.find(diag::Level::Debug, "could not open a unit to ask who it is", "vexlor::device");
    ASSERT_EQ(events.size(), 1u);
    ASSERT_NE(events[0].value("e"), nullptr);
    EXPECT_FALSE(events[0].value("e")->empty());
    // Held by another initiator, as a reservation would be.
    auto opened = devices[0].open();
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error(), error::Error(error::Error::Busy{protocol::sense::Contention::Reserved}));
}

TEST(Discovery, OpensAScsiNodeByPath) {
    emulator::Testbed bed;
    bed.add_sg("sg3", Model::Ls4000);
    const auto devices = device::list();
    const Device* d = at(devices, "/dev/sg3");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->model, Model::Ls4000);
    EXPECT_TRUE(d->open().has_value());

    const Device missing = scsi("/dev/sg9");
    auto failed = missing.open();
    ASSERT_FALSE(failed.has_value());
    const auto* t = failed.error().get_if<error::Error::Transport>();
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(t->error.is_timeout());
}
