// The SCSI generic transport through real open/ioctl/write/read calls on nodes faked by umockdev.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <cerrno>

#include "diag/log.hpp"
#include "emulator/testbed.hpp"
#include "transport/linux.hpp"

namespace vexlor::transport::linux {
namespace {

using namespace std::chrono_literals;
using diag::Level;
using emulator::Fault;

constexpr std::string_view kTarget = "vexlor::transport::linux";
const std::vector<std::uint8_t> kInquiry = {0x12, 0x00, 0x00, 0x00, 36, 0x00};
const std::vector<std::uint8_t> kReady = {0x00, 0, 0, 0, 0, 0};

std::string io_text(const Error& e) {
    const auto* io = std::get_if<Error::Io>(&e.value);
    return io ? io->error.message : "not an I/O error: " + debug_string(e);
}

class SgTest : public ::testing::Test {
protected:
    void SetUp() override {
        unit_ = bed_.add_sg("sg0", protocol::model::Model::Ls4000);
        auto t = SgTransport::open("/dev/sg0");
        ASSERT_TRUE(t) << to_string(t.error());
        transport_ = std::move(*t);
    }

    // A command whose unit answers with this status byte.
    void serve_status(std::uint8_t status) {
        unit_->on(0xC1, [status](emulator::Unit&, std::span<const std::uint8_t>, std::span<const std::uint8_t>) {
            emulator::Response r;
            r.status = status;
            return r;
        });
    }

    std::expected<Reply, Error> inquiry(Duration timeout = 2s) {
        buf_.assign(36, 0);
        return transport_->execute(kInquiry, Data::in(buf_), timeout);
    }

    emulator::Testbed bed_;
    std::shared_ptr<emulator::Unit> unit_;
    std::unique_ptr<SgTransport> transport_;
    std::vector<std::uint8_t> buf_;
};

TEST(SgNames, HostStatusAndInfoTexts) {
    const std::vector<std::pair<std::uint16_t, std::string>> hosts = {
        {0, "Ok"}, {1, "NoConnect"}, {2, "BusBusy"}, {3, "Timeout"}, {4, "BadTarget"}, {5, "Abort"}, {6, "Parity"},
        {7, "Error"}, {8, "Reset"}, {9, "BadIntr"}, {10, "Passthrough"}, {11, "SoftError"}, {12, "Unknown(12)"},
        {14, "Unknown(14)"}, {65535, "Unknown(65535)"},
    };
    for (const auto& [code, text] : hosts) EXPECT_EQ(debug_string(HostStatus{code}), text) << code;
    const std::vector<std::pair<std::uint32_t, std::string>> infos = {
        {0, "OK | INDIRECT_IO"}, {1, "CHECK | INDIRECT_IO"}, {2, "OK | DIRECT_IO"},
        {4, "OK | MIXED_IO"},    {6, "OK | INDIRECT_IO"},    {5, "CHECK | MIXED_IO"},
    };
    for (const auto& [bits, text] : infos) EXPECT_EQ(to_string(Info{bits}), text) << bits;
}

TEST(SgOpen, ReservedBufferAndOpenFailures) {
    emulator::Testbed bed;
    bed.add_sg("sg0", protocol::model::Model::Ls4000);
    bed.add_sg("sg1", protocol::model::Model::Ls4000, {.reserved = -1});
    bed.add_sg("sg2", protocol::model::Model::Ls4000, {.reserved_fails = true});
    bed.add_sg("sg3", protocol::model::Model::Ls4000, {.openable = false});

    diag::Capture cap;
    auto t0 = SgTransport::open("/dev/sg0");
    ASSERT_TRUE(t0) << to_string(t0.error());
    EXPECT_EQ((*t0)->max_transfer(), 524288u);
    auto ev = cap.find(Level::Debug, "Reserved buffer", kTarget);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(*ev[0].value("max_transfer"), "524288");

    auto t1 = SgTransport::open("/dev/sg1");
    ASSERT_TRUE(t1);
    EXPECT_EQ((*t1)->max_transfer(), 0u);

    // The node is held while t0 is open (by its lock: umockdev ignores O_EXCL), and free after.
    auto again = SgTransport::open("/dev/sg0");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind, IoKind::Busy);
    EXPECT_EQ(again.error().os_error, std::optional<int>(EBUSY));
    t0->reset();
    EXPECT_TRUE(SgTransport::open("/dev/sg0"));

    auto t2 = SgTransport::open("/dev/sg2");
    ASSERT_FALSE(t2);
    EXPECT_EQ(t2.error().kind, IoKind::Other);
    EXPECT_EQ(t2.error().message, "SG_GET_RESERVED_SIZE: EINVAL: Invalid argument");
    EXPECT_FALSE(t2.error().os_error);

    auto t3 = SgTransport::open("/dev/sg3");
    ASSERT_FALSE(t3);
    EXPECT_EQ(t3.error().os_error, std::optional<int>(EISDIR));
}

TEST_F(SgTest, InquiryFillsTheHeaderAndReports) {
    diag::Capture cap;
    auto r = inquiry();
    ASSERT_TRUE(r) << debug_string(r.error());
    EXPECT_EQ(r->status, Status::good());
    EXPECT_EQ(r->transferred, 36u);
    EXPECT_FALSE(r->sense);
    EXPECT_EQ(buf_[0], 0x06);
    EXPECT_EQ(std::string(buf_.begin() + 16, buf_.begin() + 26), "LS-4000 ED");

    const auto log = bed_.sg_log("sg0");
    EXPECT_EQ(log.interface_id, 'S');
    EXPECT_EQ(log.dxfer_direction, -3);
    EXPECT_EQ(log.cmd_len, 6u);
    EXPECT_EQ(log.mx_sb_len, 96u);
    EXPECT_EQ(log.dxfer_len, 36u);
    EXPECT_EQ(log.flags, 0u);
    EXPECT_EQ(log.timeout, 2000u);

    auto done = cap.find(Level::Trace, "SG_IO completed", kTarget);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(*done[0].value("host_status"), "Ok");
    EXPECT_EQ(*done[0].value("info"), "OK | INDIRECT_IO");
    EXPECT_EQ(*done[0].value("driver_status"), "0");
    ASSERT_EQ(done[0].spans.size(), 1u);
    EXPECT_EQ(done[0].spans[0].name, "execute");
    ASSERT_EQ(done[0].spans[0].fields.size(), 2u);
    EXPECT_EQ(done[0].spans[0].fields[0], (diag::Field{"cdb", "[18, 0, 0, 0, 36, 0]"}));
    EXPECT_EQ(done[0].spans[0].fields[1], (diag::Field{"data", "In(36 bytes)"}));
    EXPECT_TRUE(cap.contains(Level::Trace, "CDB (6 bytes): 12 00 00 00 24 00", "vexlor::cdb"));
}

TEST_F(SgTest, DirectionsAndTheDataOutDump) {
    // The handler runs on umockdev's thread, which hands back through a socket the sanitizer cannot see.
    std::mutex m;
    std::vector<std::uint8_t> got;
    unit_->on(0x2A, [&](emulator::Unit&, std::span<const std::uint8_t>, std::span<const std::uint8_t> out) {
        std::lock_guard l(m);
        got.assign(out.begin(), out.end());
        return emulator::Response::good();
    });
    const std::vector<std::uint8_t> write = {0x2A, 0, 0, 0, 0, 0, 0, 0, 3, 0};
    const std::vector<std::uint8_t> data = {1, 2, 0xAB};
    diag::Capture cap;
    auto r = transport_->execute(write, Data::out(data), 2s);
    ASSERT_TRUE(r) << debug_string(r.error());
    {
        std::lock_guard l(m);
        EXPECT_EQ(got, data);
    }
    EXPECT_EQ(bed_.sg_log("sg0").dxfer_direction, -2);
    EXPECT_TRUE(cap.contains(Level::Trace, "CDB (10 bytes): 2A 00 00 00 00 00 00 00 03 00\n  DATA-OUT (3 bytes): 01 02 AB", "vexlor::cdb"));

    r = transport_->execute(kReady, Data::none(), 2s);
    ASSERT_TRUE(r);
    const auto log = bed_.sg_log("sg0");
    EXPECT_EQ(log.dxfer_direction, -1);
    EXPECT_EQ(log.dxfer_len, 0u);
}

TEST_F(SgTest, AStopCutsAStalledCommandShortAndItsLateReplyIsDropped) {
    // The unit never answers; the stop is asked from another thread, as a pass's cancel is.
    unit_->stall(0x00, emulator::Stall::Data, 1);
    std::atomic<bool> stop{false};
    transport_->set_stop([&] { return stop.load(); });
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        stop = true;
    });
    const auto began = std::chrono::steady_clock::now();
    const auto r = transport_->execute(kReady, Data::none(), 300ms);
    stopper.join();
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is_interrupted()) << debug_string(r.error());
    EXPECT_LT(std::chrono::steady_clock::now() - began, 250ms);  // well before the driver's own time-out

    // A stop asked before a command sends nothing.
    const int calls = bed_.sg_log("sg0").calls;
    EXPECT_TRUE(transport_->execute(kReady, Data::none(), 1s).error().is_interrupted());
    EXPECT_EQ(bed_.sg_log("sg0").calls, calls);
    transport_->set_stop({});

    // The driver answers the stalled command at its time-out; that reply is not the next command's.
    std::this_thread::sleep_for(300ms);
    diag::Capture cap;
    auto got = inquiry();
    ASSERT_TRUE(got) << debug_string(got.error());
    EXPECT_EQ(got->transferred, 36u);
    EXPECT_EQ(std::string(buf_.begin() + 16, buf_.begin() + 26), "LS-4000 ED");
    EXPECT_EQ(cap.find(Level::Debug, "dropped the late reply of a command cut short", kTarget).size(), 1u);
}

TEST_F(SgTest, AStalledCommandEndsAtItsTimeOut) {
    unit_->stall(0x00, emulator::Stall::Data, 1);
    const auto r = transport_->execute(kReady, Data::none(), 100ms);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is_timeout()) << debug_string(r.error());
    EXPECT_TRUE(inquiry());
}

TEST_F(SgTest, TimeoutField) {
    const std::vector<std::pair<Duration, unsigned>> cases = {
        {180s, 180000u},
        {500ms, 500u},
        // Rounded up, never to 0: the driver would read 0 as its own long default.
        {std::chrono::microseconds(1999) + std::chrono::nanoseconds(900), 2u},
        {std::chrono::microseconds(300), 1u},
        {std::chrono::nanoseconds(1), 1u},
        {std::chrono::hours(24 * 50), 4294967295u},
    };
    for (const auto& [timeout, ms] : cases) {
        ASSERT_TRUE(transport_->execute(kReady, Data::none(), timeout));
        EXPECT_EQ(bed_.sg_log("sg0").timeout, ms) << timeout.count();
    }
}

struct SenseCase {
    const char* name;
    bool check;
    int length;
    const char* error;  // or a reply
    bool warn;
    std::optional<std::uint8_t> specific;
    std::size_t raw;
};

class SgSense : public SgTest, public ::testing::WithParamInterface<SenseCase> {};

TEST_P(SgSense, LengthRules) {
    const auto& c = GetParam();
    unit_->on(0xC1, [check = c.check](emulator::Unit&, std::span<const std::uint8_t>, std::span<const std::uint8_t>) {
        return check ? emulator::Response::check(0x05, 0x24, 0x00, 0x04) : emulator::Response::good();
    });
    unit_->script(Fault{.sense_length = c.length});
    diag::Capture cap;
    const std::vector<std::uint8_t> cdb = {0xC1, 0, 0, 0, 0, 0};
    auto r = transport_->execute(cdb, Data::none(), 2s);
    auto warn = cap.find(Level::Warn, "short sense buffer", kTarget);
    ASSERT_EQ(warn.size(), c.warn ? 1u : 0u);
    if (c.warn) {
        EXPECT_EQ(*warn[0].value("sb_len_wr"), std::to_string(c.length));
    }
    if (c.error) {
        ASSERT_FALSE(r);
        EXPECT_EQ(io_text(r.error()), c.error);
        EXPECT_EQ(std::get<Error::Io>(r.error().value).error.kind, IoKind::InvalidData);
        return;
    }
    ASSERT_TRUE(r) << debug_string(r.error());
    if (c.raw == 0) {
        EXPECT_FALSE(r->sense);
        return;
    }
    ASSERT_TRUE(r->sense);
    EXPECT_EQ(r->sense->raw.size(), c.raw);
    EXPECT_EQ(r->sense->specific, c.specific);
    EXPECT_EQ(r->sense->key, c.check ? 5 : 0);
    auto trace = cap.find(Level::Trace, "sense", kTarget);
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(*trace[0].value("response_code"), "0x70");
    EXPECT_EQ(*trace[0].value("additional_length"), "10");
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, SgSense,
    ::testing::Values(SenseCase{"CheckNone", true, 0, "CHECK CONDITION with 0 bytes of sense, need 14", false, {}, 0},
                      SenseCase{"CheckShort", true, 8, "CHECK CONDITION with 8 bytes of sense, need 14", true, {}, 0},
                      SenseCase{"CheckThirteen", true, 13, "CHECK CONDITION with 13 bytes of sense, need 14", true, {}, 0},
                      SenseCase{"CheckFourteen", true, 14, nullptr, false, std::nullopt, 14},
                      SenseCase{"CheckFifteen", true, 15, nullptr, false, std::nullopt, 15},
                      SenseCase{"CheckSixteen", true, 16, nullptr, false, 0x04, 16},
                      SenseCase{"CheckEighteen", true, 18, nullptr, false, 0x04, 18},
                      SenseCase{"CheckFull", true, 96, nullptr, false, 0x04, 96},
                      SenseCase{"CheckMoreThanTheBuffer", true, 120, nullptr, false, 0x04, 96},
                      SenseCase{"GoodShort", false, 8, nullptr, true, {}, 0},
                      SenseCase{"GoodCarriesSense", false, 20, nullptr, false, 0x00, 20}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SgTest, StatusBytesAreReturned) {
    for (std::uint8_t s : {std::uint8_t{0x08}, std::uint8_t{0x18}, std::uint8_t{0x04}, std::uint8_t{0x10}}) {
        serve_status(s);
        const std::vector<std::uint8_t> cdb = {0xC1, 0, 0, 0, 0, 0};
        auto r = transport_->execute(cdb, Data::none(), 2s);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status.byte(), s);
        EXPECT_FALSE(r->sense);
    }
}

TEST_F(SgTest, ResidGivesTheCount) {
    const std::vector<std::pair<int, std::size_t>> cases = {{512, 0}, {-4, 36}, {10, 26}, {0, 36}};
    for (const auto& [resid, count] : cases) {
        unit_->script(Fault{.resid = resid});
        auto r = inquiry();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->transferred, count) << resid;
    }
}

TEST_F(SgTest, HostStatusFailures) {
    unit_->script(Fault{.host_status = 14});
    auto r = inquiry();
    ASSERT_FALSE(r);
    EXPECT_EQ(io_text(r.error()), "SCSI bus fault: Unknown(14)");
    EXPECT_EQ(std::get<Error::Io>(r.error().value).error.kind, IoKind::Other);

    unit_->script(Fault{.host_status = 1});
    r = inquiry();
    ASSERT_FALSE(r);
    EXPECT_EQ(io_text(r.error()), "SCSI bus fault: NoConnect");

    unit_->script(Fault{.driver_timeout = true});
    r = inquiry(7s);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::timeout(7s));

    // The node is as good as before.
    ASSERT_TRUE(inquiry());
}

}  // namespace
}  // namespace vexlor::transport::linux
