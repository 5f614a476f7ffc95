#include <gtest/gtest.h>

#include <optional>
#include <string>

#include <fmt/format.h>

#include "error.hpp"
#include "try.hpp"

using namespace std::chrono_literals;
using namespace vexlor;
using protocol::sense::Failure;
using protocol::sense::Fault;
using protocol::sense::Interpretation;
using protocol::sense::Refusal;
using I = Interpretation;

namespace {

transport::Sense illegal_request() {
    std::vector<std::uint8_t> raw(14, 0);
    raw[0] = 0x70, raw[2] = 0x05, raw[12] = 0x24;
    return transport::sense_from_fixed(raw, std::nullopt);
}

const std::string sense_debug =
    "05h-24h-00h-?? raw=[70, 00, 05, 00, 00, 00, 00, 00, 00, 00, 00, 00, 24, 00]";

TEST(FromOutcome, EveryClass) {
    const transport::Reply with_sense{illegal_request(), 0, transport::Status::check_condition()};
    const transport::Reply without{std::nullopt, 0, transport::Status::good()};
    const auto reported = [](Failure f, const transport::Reply& r) {
        return error::Error(Fault{Fault::Reported{f, r.sense}});
    };
    const auto unrecognized = Failure{Failure::Unrecognized{}};
    struct Case {
        Interpretation in;
        const transport::Reply* reply;
        error::Error want;
    };
    const Case cases[] = {
        {{I::Intervene{protocol::sense::Intervention::NoMedium}}, &with_sense,
         error::Error(error::Error::Media{protocol::sense::Intervention::NoMedium})},
        {{I::Contended{protocol::sense::Contention::Reserved}}, &without,
         error::Error(error::Error::Busy{protocol::sense::Contention::Reserved})},
        {{I::Rejected{Refusal::BadCdbField}}, &with_sense,
         error::Error(Fault{Fault::Rejected{Refusal::BadCdbField, with_sense.sense}})},
        {{I::Rejected{Refusal::FrameOutOfRange}}, &without,
         error::Error(Fault{Fault::Rejected{Refusal::FrameOutOfRange, std::nullopt}})},
        {{I::Failed{Failure{Failure::Hardware{}}}}, &with_sense, reported(Failure{Failure::Hardware{}}, with_sense)},
        {{I::Failed{Failure{Failure::UnexpectedStatus{0x40}}}}, &without,
         reported(Failure{Failure::UnexpectedStatus{0x40}}, without)},
        // The non-failing classes keep the function total.
        {{I::Good{}}, &without, reported(unrecognized, without)},
        {{I::Adjusted{protocol::sense::Adjustment::Unreported}}, &with_sense, reported(unrecognized, with_sense)},
        {{I::Waiting{protocol::sense::Activity::TargetBusy}}, &with_sense, reported(unrecognized, with_sense)},
        {{I::Cooperate{protocol::sense::Coop{protocol::sense::Coop::Unknown{5}}}}, &without,
         reported(unrecognized, without)},
        {{I::Changed{protocol::sense::Change::Reset}}, &with_sense, reported(unrecognized, with_sense)},
    };
    for (const auto& c : cases) {
        const auto got = error::Error::from_outcome(c.in, *c.reply);
        EXPECT_EQ(got, c.want) << debug_string(c.in) << " -> " << error::debug_string(got);
    }
    // The sense copy is whole, raw bytes included.
    const auto e = error::Error::from_outcome({I::Rejected{Refusal::BadCdbField}}, with_sense);
    const auto* device = e.get_if<error::Error::Device>();
    ASSERT_NE(device, nullptr);
    const auto& rejected = std::get<Fault::Rejected>(device->fault->value);
    ASSERT_TRUE(rejected.sense.has_value());
    EXPECT_EQ(rejected.sense->raw.size(), 14u);
}

TEST(ErrorText, DisplayAndDebug) {
    const auto caps_error = protocol::caps::Error::truncated(0xC1, 70, 61);
    struct Case {
        error::Error e;
        std::string display;
        std::string debug;
    };
    const Case cases[] = {
        {error::Error(transport::Error::timeout(180s)), "timed out after 180s", "Transport(Timeout(180s))"},
        {error::Error(transport::Error::io(transport::IoKind::InvalidData, "no phase after the command")),
         "io error: no phase after the command",
         R"(Transport(Io(Custom { kind: InvalidData, error: "no phase after the command" })))"},
        {error::Error(error::Error::Busy{protocol::sense::Contention::Busy}), "the scanner is busy", "Busy(Busy)"},
        {error::Error(error::Error::Busy{protocol::sense::Contention::Reserved}),
         "another initiator holds the scanner", "Busy(Reserved)"},
        {error::Error(error::Error::Media{protocol::sense::Intervention::NoMedium}), "No film or holder is loaded",
         "Media(NoMedium)"},
        {error::Error::not_found(), "no such scanner", "NotFound"},
        {error::Error::unsupported("film format", "no holder loaded; supply a format"),
         "film format is not supported: no holder loaded; supply a format",
         R"(Unsupported { op: "film format", reason: "no holder loaded; supply a format" })"},
        {error::Error::unsupported("thumbnail", ""), "thumbnail is not supported",
         R"(Unsupported { op: "thumbnail", reason: "" })"},
        {error::Error::cancelled(), "scan cancelled", "Cancelled"},
        {error::Error(Fault{Fault::Reported{Failure{Failure::Medium{}}, std::nullopt}}),
         "scanner fault: medium error (None)", "Device(Reported(Medium, None))"},
        {error::Error(Fault{Fault::Reported{Failure{Failure::UnexpectedStatus{0x40}}, std::nullopt}}),
         "scanner fault: unexpected status 0x40 (None)", "Device(Reported(UnexpectedStatus(64), None))"},
        {error::Error(Fault{Fault::Rejected{Refusal::BadCdbField, illegal_request()}}),
         "scanner rejected the command: invalid field in CDB (Some(" + sense_debug + "))",
         "Device(Rejected(BadCdbField, Some(" + sense_debug + ")))"},
        {error::Error(Fault{Fault::Reported{Failure{Failure::Unrecognized{}}, illegal_request()}}),
         "scanner fault: unrecognized sense (Some(" + sense_debug + "))",
         "Device(Reported(Unrecognized, Some(" + sense_debug + ")))"},
        // A page error shows as itself, with no prefix.
        {error::Error(caps_error), "page C1h truncated: need 70 bytes, got 61",
         "Device(Caps(Truncated { page: 193, need: 70, got: 61 }))"},
        {error::Error(protocol::caps::Error::bad_field(0xD1, 23, "parameter width", 5)),
         "page D1h byte 23: parameter width = 0x05",
         R"(Device(Caps(BadField { page: 209, byte: 23, what: "parameter width", value: 5 })))"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_string(c.e), c.display);
        EXPECT_EQ(fmt::format("{}", c.e), c.display);
        EXPECT_EQ(debug_string(c.e), c.debug);
    }
    // Copies compare equal by the fault they hold.
    const error::Error a(caps_error);
    const error::Error b = a;
    EXPECT_EQ(a, b);
    EXPECT_NE(a, error::Error(protocol::caps::Error::truncated(0xC1, 70, 60)));
}

error::Result<int> half(int v) {
    if (v % 2) return std::unexpected(error::Error::unsupported("odd", ""));
    return v / 2;
}

error::Result<int> quarter(int v) {
    VX_TRY(auto h, half(v));
    VX_TRY(h, half(h));
    return h;
}

TEST(ErrorMacros, TryReturnsTheFirstError) {
    EXPECT_EQ(quarter(8).value(), 2);
    EXPECT_EQ(quarter(6).error(), error::Error::unsupported("odd", ""));
    EXPECT_EQ(quarter(3).error(), error::Error::unsupported("odd", ""));
}

}  // namespace
