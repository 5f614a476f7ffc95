// The USB transport through real libusb against the emulated unit behind umockdev.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "cpp/fake_clock.hpp"
#include "diag/log.hpp"
#include "emulator/testbed.hpp"
#include "transport/usb.hpp"

namespace vexlor::transport::usb {
namespace {

using namespace std::chrono_literals;
using diag::Level;
using emulator::Fault;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kTarget = "vexlor::transport::usb";
const std::vector<std::uint8_t> kInquiry = {0x12, 0x00, 0x00, 0x00, 36, 0x00};
const std::vector<std::uint8_t> kReady = {0x00, 0, 0, 0, 0, 0};
const std::vector<std::uint8_t> kRead = {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<std::uint8_t> kWrite = {0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0};

std::string io_text(const Error& e) {
    const auto* io = std::get_if<Error::Io>(&e.value);
    return io ? io->error.message : "not an I/O error: " + debug_string(e);
}

// The one unit of our vendor on the bus, as enumerated; a listing without one fails the test.
std::optional<UsbDevice> our_unit() {
    auto list = enumerate();
    EXPECT_TRUE(list.has_value());
    if (!list) return std::nullopt;
    const auto it = std::find_if(list->begin(), list->end(), [](const UsbDevice& d) { return d.vendor == 0x04B0; });
    EXPECT_NE(it, list->end()) << "the emulated unit was not enumerated";
    if (it == list->end()) return std::nullopt;
    return *it;
}

class UsbTest : public ::testing::Test {
protected:
    void SetUp() override { open_unit({}); }

    void open_unit(emulator::UsbOptions options) {
        unit_ = bed_.add_usb(protocol::model::Model::Ls50, 1, ports_, options);
        auto list = enumerate();
        ASSERT_TRUE(list.has_value()) << list.error();
        for (const auto& d : *list) {
            if (d.vendor == 0x04B0 && d.port_chain == std::vector<std::uint8_t>{2, 3}) device_ = d;
        }
        ASSERT_TRUE(device_.device) << "the emulated unit was not enumerated";
        auto t = UsbTransport::open(device_, clock_);
        ASSERT_TRUE(t) << t.error().message;
        transport_ = std::move(*t);
    }

    // READ answers `n` bytes counting up in sevens.
    void serve_read(std::size_t n) {
        unit_->on(0x28, [n](emulator::Unit&, std::span<const std::uint8_t>, std::span<const std::uint8_t>) {
            std::vector<std::uint8_t> d(n);
            for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(i * 7);
            return emulator::Response::with_data(std::move(d));
        });
    }

    std::expected<Reply, Error> inquiry(Duration timeout = 2s) {
        buf_.assign(36, 0);
        return transport_->execute(kInquiry, Data::in(buf_), timeout);
    }

    // The data reads of the last command: the IN requests between its phase answer and its status block.
    std::vector<std::size_t> data_reads(std::size_t before) const {
        auto reqs = bed_.usb_log(1, ports_).in_requests;
        return {reqs.begin() + static_cast<std::ptrdiff_t>(before) + 1, reqs.end() - 1};
    }

    std::vector<int> ports_{2, 3};
    test_support::SkipClock clock_;
    emulator::Testbed bed_;
    std::shared_ptr<emulator::Unit> unit_;
    UsbDevice device_;
    std::unique_ptr<UsbTransport> transport_;
    std::vector<std::uint8_t> buf_;
};

TEST_F(UsbTest, InquiryDropsPaddingAndReportsTheExchange) {
    EXPECT_EQ(device_.bus_id, "001");
    EXPECT_EQ(device_.product, 0x4001);
    EXPECT_EQ(transport_->max_transfer(), 131072u);

    unit_->script(Fault{.extra_bytes = 28});
    diag::Capture cap;
    auto r = inquiry();
    ASSERT_TRUE(r) << debug_string(r.error());
    EXPECT_EQ(r->transferred, 36u);
    EXPECT_EQ(r->status, Status::good());
    ASSERT_TRUE(r->sense);
    EXPECT_EQ(r->sense->key, 0);
    EXPECT_EQ(r->sense->specific, std::optional<std::uint8_t>(0));
    EXPECT_EQ(r->sense->raw, std::vector<std::uint8_t>(8, 0));
    EXPECT_EQ(std::string(buf_.begin() + 8, buf_.begin() + 14), "VEXEMU");
    auto pad = cap.find(Level::Trace, "dropped the tail of the last packet", kTarget);
    ASSERT_EQ(pad.size(), 1u);
    EXPECT_EQ(*pad[0].value("padding"), "28");
    // The phase answer, the 36-byte data read and the status block each ask for one packet.
    EXPECT_EQ(bed_.usb_log(1, ports_).in_requests, (std::vector<std::size_t>{512, 512, 512}));
    auto cmd = cap.find(Level::Trace, "command", kTarget);
    ASSERT_EQ(cmd.size(), 1u);
    EXPECT_EQ(*cmd[0].value("cdb"), "12 00 00 00 24 00");
    EXPECT_EQ(*cmd[0].value("data"), "In(36 bytes)");
    auto phase = cap.find(Level::Trace, "phase", kTarget);
    ASSERT_EQ(phase.size(), 1u);
    EXPECT_EQ(*phase[0].value("phase"), "03h");
}

TEST_F(UsbTest, StatusBlockBecomesTheReply) {
    // An unknown operation code: the unit refuses it with 02 05 20 00 00 ...
    const std::vector<std::uint8_t> unknown = {0xE7, 0, 0, 0, 0, 0};
    auto r = transport_->execute(unknown, Data::none(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status.kind(), Status::Kind::CheckCondition);
    ASSERT_TRUE(r->sense);
    EXPECT_EQ(r->sense->key, 5);
    EXPECT_EQ(r->sense->asc, 0x20);
    EXPECT_EQ(r->sense->ascq, 0x00);
    EXPECT_EQ(r->sense->specific, std::optional<std::uint8_t>(0));
    EXPECT_FALSE(r->sense->information);
    EXPECT_FALSE(r->sense->ili);
    EXPECT_EQ(r->sense->raw, (std::vector<std::uint8_t>{0x02, 0x05, 0x20, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r->transferred, 0u);

    // Key bits 4-7 are ignored; the fourth code is byte 4.
    unit_->on(0xE7, [](emulator::Unit&, std::span<const std::uint8_t>, std::span<const std::uint8_t>) {
        return emulator::Response::check(0xF5, 0x24, 0x00, 0x04);
    });
    r = transport_->execute(unknown, Data::none(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sense->key, 5);
    EXPECT_EQ(r->sense->asc, 0x24);
    EXPECT_EQ(r->sense->specific, std::optional<std::uint8_t>(4));
}

struct DataInCase {
    const char* name;
    std::size_t length;      // the In buffer
    std::size_t unit_sends;  // what the unit has to say
    Fault fault;
    std::size_t transferred;  // or 0 with an error
    std::vector<std::size_t> reads;
    const char* error;
};

class UsbDataIn : public UsbTest, public ::testing::WithParamInterface<DataInCase> {};

TEST_P(UsbDataIn, ReadsAndCounts) {
    const auto& c = GetParam();
    serve_read(c.unit_sends);
    unit_->script(c.fault);
    std::vector<std::uint8_t> buf(c.length);
    auto r = transport_->execute(kRead, Data::in(buf), 5s);
    if (c.error) {
        ASSERT_FALSE(r);
        EXPECT_EQ(io_text(r.error()), c.error);
        // The next command drains what was left and goes through.
        diag::Capture cap;
        ASSERT_TRUE(inquiry()) << "the transport did not get back in step";
        EXPECT_TRUE(cap.contains(Level::Warn, "the last command left its answer in the pipe, dropped it to get back in step"));
        return;
    }
    ASSERT_TRUE(r) << debug_string(r.error());
    EXPECT_EQ(r->transferred, c.transferred);
    EXPECT_EQ(data_reads(0), c.reads);
    for (std::size_t i = 0; i < c.transferred; ++i) {
        ASSERT_EQ(buf[i], static_cast<std::uint8_t>(i * 7)) << "at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, UsbDataIn,
    ::testing::Values(
        DataInCase{"UnitBlockSizeSetsLaterReads", 65536, 65536, Fault{.block = 16384}, 65536, {65536, 16384, 16384, 16384}, nullptr},
        DataInCase{"OneRead", 4096, 4096, Fault{}, 4096, {4096}, nullptr},
        DataInCase{"EmptyReadEndsEarly", 1000, 300, Fault{.empty_data = true}, 300, {1024, 512}, nullptr},
        DataInCase{"EmptyFirstRead", 1000, 0, Fault{.empty_data = true}, 0, {1024}, nullptr},
        DataInCase{"LongerThanAskedMidway", 1000, 1000, Fault{.chunks = {300}}, 0, {},
                   "device sent 512 bytes for a 300-byte read, so the stream is out of step"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbTest, WrongDirectionAndStatusWithoutData) {
    // INQUIRY sent without a buffer: the unit names data in.
    auto r = transport_->execute(kInquiry, Data::none(), 2s);
    ASSERT_FALSE(r);
    EXPECT_EQ(io_text(r.error()), "the unit asked for phase 03h but the command carries None");

    diag::Capture cap;
    std::vector<std::uint8_t> buf(8);
    r = transport_->execute(kReady, Data::in(buf), 2s);
    ASSERT_TRUE(r) << debug_string(r.error());
    EXPECT_EQ(r->transferred, 0u);
    auto ev = cap.find(Level::Debug, "the unit went to status with no data phase", kTarget);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(*ev[0].value("data"), "In(8 bytes)");
}

TEST_F(UsbTest, DataOutIsSentWhole) {
    std::vector<std::uint8_t> got;
    unit_->on(0x2A, emulator::Unit::Command{
                        [&got](emulator::Unit&, std::span<const std::uint8_t>, std::span<const std::uint8_t> out) {
                            got.assign(out.begin(), out.end());
                            return emulator::Response::good();
                        },
                        [](std::span<const std::uint8_t>) { return std::size_t{700}; }});
    std::vector<std::uint8_t> data(700);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    auto r = transport_->execute(kWrite, Data::out(data), 2s);
    ASSERT_TRUE(r) << debug_string(r.error());
    EXPECT_EQ(r->transferred, 700u);
    EXPECT_EQ(got, data);
}

TEST_F(UsbTest, BusyBackOff) {
    struct Case {
        Fault fault;
        std::vector<clock::Duration> pauses;
    };
    const std::vector<Case> cases = {
        {Fault{.busy_queries = 3}, {5ms, 10ms, 20ms}},
        {Fault{.busy_queries = 9}, {5ms, 10ms, 20ms, 40ms, 80ms, 160ms, 250ms, 250ms, 250ms}},
    };
    std::size_t seen = 0;
    for (const auto& c : cases) {
        unit_->script(c.fault);
        auto r = inquiry(5s);
        ASSERT_TRUE(r) << debug_string(r.error());
        const auto sleeps = clock_.sleeps();
        EXPECT_EQ(std::vector<clock::Duration>(sleeps.begin() + static_cast<std::ptrdiff_t>(seen), sleeps.end()), c.pauses);
        seen = sleeps.size();
    }
}

TEST_F(UsbTest, BusyPauseStopsAtTheDeadline) {
    unit_->script(Fault{.busy_queries = 1000});
    auto r = inquiry(300ms);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::timeout(300ms));
    // The pauses double until the deadline cuts the last one short.
    const auto sleeps = clock_.sleeps();
    ASSERT_EQ(sleeps.size(), 6u);
    EXPECT_EQ(std::vector<clock::Duration>(sleeps.begin(), sleeps.begin() + 5),
              (std::vector<clock::Duration>{5ms, 10ms, 20ms, 40ms, 80ms}));
    EXPECT_LE(sleeps[5], 145ms);
}

struct OutOfStepCase {
    const char* name;
    std::vector<std::uint8_t> answer;
    const char* error;
};

class UsbOutOfStep : public UsbTest, public ::testing::WithParamInterface<OutOfStepCase> {};

TEST_P(UsbOutOfStep, OneResendThenTheError) {
    const auto& c = GetParam();
    // Once: a WARN, a drain and a re-send that goes through.
    unit_->script(Fault{.phase_answers = {c.answer}});
    diag::Capture cap;
    auto r = inquiry();
    ASSERT_TRUE(r) << debug_string(r.error());
    auto warn = cap.find(Level::Warn, "the pipe is out of step, we drop it and send the command again", kTarget);
    ASSERT_EQ(warn.size(), 1u);
    EXPECT_EQ(*warn[0].value("e"), std::string("io error: ") + c.error);
    EXPECT_EQ(unit_->received().size(), 2u);

    // Twice in one call: the error.
    cap.clear();
    unit_->script(Fault{.phase_answers = {c.answer}});
    unit_->script(Fault{.phase_answers = {c.answer}});
    r = inquiry();
    ASSERT_FALSE(r);
    EXPECT_EQ(io_text(r.error()), c.error);
    EXPECT_EQ(std::get<Error::Io>(r.error().value).error.kind, IoKind::InvalidData);
    EXPECT_EQ(cap.find(Level::Warn, "the pipe is out of step, we drop it and send the command again", kTarget).size(), 1u);
    ASSERT_TRUE(inquiry());
}

INSTANTIATE_TEST_SUITE_P(Answers, UsbOutOfStep,
                         ::testing::Values(OutOfStepCase{"NoPhase", {0x00}, "no phase after the command"},
                                           OutOfStepCase{"NotAPhaseCode", {0x07}, "07h is not a phase code"},
                                           OutOfStepCase{"HighCode", {0xFF}, "FFh is not a phase code"},
                                           OutOfStepCase{"EmptyAnswer", {}, "a phase check read 0 bytes off the pipe"},
                                           OutOfStepCase{"TwoBytes", {0x03, 0x01}, "a phase check read 2 bytes off the pipe"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbTest, ShortStatusBlockLeavesThePipeToDrain) {
    unit_->script(Fault{.status_length = 7});
    auto r = inquiry();
    ASSERT_FALSE(r);
    EXPECT_EQ(io_text(r.error()), "status phase returned 7 bytes, expected 8");
    ASSERT_TRUE(inquiry());
}

TEST(UsbStall, ClearedOrNotTheCommandFailsWithBrokenPipe) {
    struct Case {
        bool out;
        bool clear_fails;
    };
    for (const Case c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
        SCOPED_TRACE(::testing::Message() << "out " << c.out << " clear fails " << c.clear_fails);
        emulator::Testbed bed;
        auto unit = bed.add_usb(protocol::model::Model::Ls50, 3, {1}, {.clear_fails = c.clear_fails});
        const auto found = our_unit();
        ASSERT_TRUE(found);
        auto t = UsbTransport::open(*found);
        ASSERT_TRUE(t);
        unit->script(c.out ? Fault{.stall_out = true} : Fault{.stall_in = true});
        diag::Capture cap;
        std::vector<std::uint8_t> buf(36);
        auto r = (*t)->execute(kInquiry, Data::in(buf), 2s);
        ASSERT_FALSE(r);
        const auto& io = std::get<Error::Io>(r.error().value).error;
        EXPECT_EQ(io.kind, IoKind::BrokenPipe);
        EXPECT_EQ(bed.usb_log(3, {1}).clear_halts, 1);
        if (c.clear_fails) {
            auto w = cap.find(Level::Warn, "the unit halted the endpoint and it would not clear", kTarget);
            ASSERT_EQ(w.size(), 1u);
            EXPECT_FALSE(w[0].value("e")->empty());
        } else {
            EXPECT_TRUE(cap.contains(Level::Warn, "the unit halted the endpoint, cleared it for the next command", kTarget));
            auto again = (*t)->execute(kInquiry, Data::in(buf), 2s);
            ASSERT_TRUE(again) << debug_string(again.error());
            EXPECT_EQ(again->transferred, 36u);
        }
    }
}

TEST_F(UsbTest, SilentUnitIsSentTheCommandAgain) {
    // Silent during the busy back-off, whose phase checks wait 1 s (the first one would wait 7 s).
    unit_->script(Fault{.phase_answers = {{0x04}}, .silent_queries = 1});
    diag::Capture cap;
    const auto start = Clock::now();
    auto r = inquiry(3s);
    ASSERT_TRUE(r) << debug_string(r.error());
    EXPECT_GE(Clock::now() - start, 1s);
    EXPECT_TRUE(cap.contains(Level::Debug, "the unit stopped answering, we send the command again", kTarget));
    EXPECT_EQ(unit_->received().size(), 2u);
}

TEST_F(UsbTest, TimeOuts) {
    // A unit that never answers: the caller's time-out, whatever the transfers were given.
    unit_->script(Fault{.silent_queries = 1000});
    auto r = inquiry(250ms);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::timeout(250ms));

    // A data phase that never comes: the time that remained when the read began.
    unit_->script(Fault{.silent_data = true});
    r = inquiry(600ms);
    ASSERT_FALSE(r);
    ASSERT_TRUE(r.error().is_timeout());
    const auto given = std::get<Error::Timeout>(r.error().value).duration;
    EXPECT_LT(given, 600ms);
    EXPECT_GT(given, 300ms);  // the resync of the earlier failure ran before this call's deadline began

    // A zero time-out fails before anything is sent.
    const auto before = unit_->received().size();
    r = inquiry(0ms);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::timeout(0ms));
    EXPECT_EQ(unit_->received().size(), before);
}

TEST_F(UsbTest, TheOwnersStopCutsAStalledCommandShort) {
    // Each stall on its own would last the whole 180 s time-out (the silent one re-sending the
    // command every 7 s); the stop, asked after a while, ends it at the next slice.
    struct Case {
        const char* name;
        Fault fault;
    };
    const Case cases[] = {
        {"the data phase never comes", Fault{.silent_data = true}},
        {"busy to every phase query", Fault{.busy_queries = 1'000'000}},
        {"phase queries unanswered", Fault{.silent_queries = 1'000'000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unit_->script(c.fault);
        const auto asked_from = Clock::now() + 300ms;
        std::atomic<bool> asked{false};
        transport_->set_stop([&] { return asked = Clock::now() >= asked_from; });
        auto r = inquiry(180s);
        const auto late = Clock::now() - asked_from;
        ASSERT_FALSE(r);
        EXPECT_TRUE(r.error().is_interrupted()) << debug_string(r.error());
        EXPECT_LT(late, 1s);
        transport_->set_stop({});
        // The transport drains what the cut left and takes the next command.
        ASSERT_TRUE(inquiry()) << c.name;
    }
}

TEST_F(UsbTest, ResyncDropsAtMostOneMebibyte) {
    unit_->script(Fault{.status_length = 7});
    ASSERT_FALSE(inquiry());
    bed_.inject_in(1, ports_, 1536 * 1024);
    diag::Capture cap;
    auto r = inquiry(10s);
    ASSERT_TRUE(r) << debug_string(r.error());
    auto w = cap.find(Level::Warn, "the unit has more to say than we will drop, so we are still out of step", kTarget);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(*w[0].value("bytes"), "1048576");
    // The command went out anyway, read the rest of the flood as its phase, and re-sent.
    EXPECT_TRUE(cap.contains(Level::Warn, "the pipe is out of step, we drop it and send the command again", kTarget));
    EXPECT_TRUE(cap.contains(Level::Warn, "the last command left its answer in the pipe, dropped it to get back in step", kTarget));
}

// Whatever the unit does to the framing, the call fails or succeeds cleanly and the next
// command goes through.
TEST_F(UsbTest, AnyMisbehaviourLeavesTheTransportUsable) {
    serve_read(3000);
    std::uint32_t seed = 12345;
    const auto next = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (int round = 0; round < 8; ++round) {
        Fault f;
        const std::size_t answer_len = next(3);
        if (next(2)) {
            std::vector<std::uint8_t> a(answer_len);
            for (auto& b : a) b = static_cast<std::uint8_t>(next(256));
            f.phase_answers.push_back(a);
        }
        if (next(2)) f.chunks = {next(3000) + 1, next(3000) + 1};
        f.extra_bytes = next(2) ? next(1500) : 0;
        f.status_length = next(2) ? next(12) : 8;
        f.empty_data = next(4) == 0;
        unit_->script(f);
        std::vector<std::uint8_t> buf(next(2) ? 3000 : 1000);
        auto r = transport_->execute(kRead, Data::in(buf), 2s);
        if (r) {
            EXPECT_LE(r->transferred, buf.size());
        }
        auto again = inquiry();
        ASSERT_TRUE(again) << "round " << round << ": " << debug_string(again.error());
        EXPECT_EQ(again->transferred, 36u);
    }
}

TEST(UsbLibraryLog, RecordsGoToTheDiagnostics) {
    emulator::Testbed bed;
    forward_library_log();
    diag::Capture cap;
    ASSERT_TRUE(enumerate());
    bool seen = false;
    for (const auto& e : cap.events()) seen = seen || e.target == "libusb";
    EXPECT_TRUE(seen);
}

TEST(UsbLibraryLog, MessagesLoseTheLibrarysHeader) {
    const std::vector<std::pair<std::string_view, std::optional<std::string_view>>> cases = {
        {"[ 0.000579] [00002a1e] libusb: debug [libusb_get_device_list]  \n", std::nullopt},
        {"[ 0.000612] [00002a1e] libusb: debug [usbi_add_event_source] add fd 3 events 1\n", "add fd 3 events 1"},
        {"libusb: error [op_open] libusb couldn't open USB device: Permission denied\n",
         "libusb couldn't open USB device: Permission denied"},
        {"--------------------------------------------------------------------------------\n", std::nullopt},
        {"[timestamp] [threadID] facility level [function call] <message>\n", std::nullopt},
        {"plain text  \n", "plain text"},
    };
    for (const auto& [record, message] : cases) EXPECT_EQ(library_message(record), message) << record;
}

TEST(UsbDevices, ContextsSeeDevicesAddedAndRemoved) {
    emulator::Testbed bed;
    const auto count = [] {
        auto list = enumerate();
        EXPECT_TRUE(list);
        return std::count_if(list->begin(), list->end(), [](const UsbDevice& d) { return d.vendor == 0x04B0; });
    };
    bed.add_usb(protocol::model::Model::Ls40, 1, {1}, {.product = 0x4000});
    auto first = enumerate();
    ASSERT_TRUE(first);
    EXPECT_EQ(count(), 1);
    bed.add_usb(protocol::model::Model::Ls5000, 1, {2, 4}, {.product = 0x4002});
    EXPECT_EQ(count(), 2);
    bed.remove_usb(1, {1});
    EXPECT_EQ(count(), 1);
    auto list = enumerate();
    ASSERT_TRUE(list);
    for (const auto& d : *list) {
        if (d.vendor == 0x04B0) {
            EXPECT_EQ(d.bus_id, "001");
            EXPECT_EQ(d.port_chain, (std::vector<std::uint8_t>{2, 4}));
            EXPECT_EQ(d.product, 0x4002);
        }
    }
}

TEST(UsbOpen, ConfigurationAndEndpointChecks) {
    struct Case {
        emulator::UsbOptions options;
        std::vector<unsigned> configurations_set;
        const char* error;
    };
    const std::vector<Case> cases = {
        {{}, {}, nullptr},
        {{.unconfigured = true}, {1}, nullptr},
        {{.max_packet = 0}, {}, "bulk IN endpoint reports zero max packet size"},
    };
    for (const auto& c : cases) {
        emulator::Testbed bed;
        bed.add_usb(protocol::model::Model::Ls50, 1, {1}, c.options);
        const auto found = our_unit();
        ASSERT_TRUE(found);
        diag::Capture cap;
        auto t = UsbTransport::open(*found);
        EXPECT_EQ(bed.usb_log(1, {1}).configurations_set, c.configurations_set);
        if (c.error) {
            ASSERT_FALSE(t);
            EXPECT_EQ(t.error().kind, IoKind::InvalidData);
            EXPECT_EQ(t.error().message, c.error);
        } else {
            ASSERT_TRUE(t) << t.error().message;
            auto ev = cap.find(Level::Debug, "Opened scanner", kTarget);
            ASSERT_EQ(ev.size(), 1u);
            EXPECT_NE(ev[0].value("device")->find("0x04b0"), std::string::npos);
        }
    }
}

TEST(UsbOpen, ClaimedInterfaceIsBusy) {
    emulator::Testbed bed;
    bed.add_usb(protocol::model::Model::Ls40, 2, {4}, {.product = 0x4000, .claimed = true});
    const auto found = our_unit();
    ASSERT_TRUE(found);
    diag::Capture cap;
    auto t = UsbTransport::open(*found);
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error().kind, IoKind::Busy);
    EXPECT_FALSE(cap.contains(Level::Debug, "Opened scanner", kTarget));
}

}  // namespace
}  // namespace vexlor::transport::usb
