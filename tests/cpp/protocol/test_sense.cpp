#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include <fmt/format.h>

#include "protocol/sense.hpp"

using namespace vexlor;
using namespace vexlor::protocol::sense;

namespace {

constexpr int none = -1;  // no fourth code

struct Row {
    std::uint8_t status;
    bool has_sense;
    std::uint8_t key, asc, ascq;
    int fourth;
    const char* want;  // the interpretation's debug form
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << fmt::format("status {:02X}h", r.status);
    if (r.has_sense) *os << fmt::format(" sense {:X}/{:02X}h/{:02X}h", r.key, r.asc, r.ascq);
    if (r.fourth != none) *os << " fourth " << r.fourth;
}

transport::Reply reply_of(const Row& r) {
    transport::Reply reply{std::nullopt, 0, transport::Status(r.status)};
    if (r.has_sense) {
        transport::Sense s;
        s.raw = {0x70, 0x00, r.key};
        s.key = r.key;
        s.asc = r.asc;
        s.ascq = r.ascq;
        if (r.fourth != none) s.specific = static_cast<std::uint8_t>(r.fourth);
        reply.sense = s;
    }
    return reply;
}

// Status 02h with sense data.
constexpr Row cc(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, int fourth, const char* want) {
    return {0x02, true, key, asc, ascq, fourth, want};
}

class Interpret : public ::testing::TestWithParam<Row> {};

TEST_P(Interpret, Row) {
    const Row& r = GetParam();
    const auto got = interpret(reply_of(r));
    EXPECT_EQ(debug_string(got), r.want);
    // The sense decides alike under a Good status.
    if (r.status == 0x02 && r.has_sense) {
        Row good = r;
        good.status = 0x00;
        EXPECT_EQ(interpret(reply_of(good)), got);
    }
}

const Row rows[] = {
    // Status decides first.
    {0x00, false, 0, 0, 0, none, "Good"},
    {0x02, false, 0, 0, 0, none, "Good"},
    {0x08, false, 0, 0, 0, none, "Waiting(TargetBusy)"},
    {0x08, true, 0x5, 0x24, 0x00, none, "Waiting(TargetBusy)"},
    {0x18, false, 0, 0, 0, none, "Contended(Reserved)"},
    {0x18, true, 0x2, 0x04, 0x01, 1, "Contended(Reserved)"},
    {0x40, false, 0, 0, 0, none, "Failed(UnexpectedStatus(64))"},
    {0x40, true, 0x0, 0x00, 0x00, none, "Failed(UnexpectedStatus(64))"},
    {0x04, false, 0, 0, 0, none, "Failed(UnexpectedStatus(4))"},
    {0x10, true, 0x6, 0x29, 0x00, none, "Failed(UnexpectedStatus(16))"},
    {0x0A, false, 0, 0, 0, none, "Failed(UnexpectedStatus(10))"},
    {0x00, true, 0x0, 0x00, 0x00, none, "Good"},
    // Key 0.
    cc(0x0, 0x00, 0x00, 7, "Good"),
    cc(0x0, 0x00, 0x01, none, "Failed(Unrecognized)"),
    cc(0x0, 0x37, 0x00, none, "Failed(Unrecognized)"),
    // Key 1: success, but for the focus failure.
    cc(0x1, 0x37, 0x00, none, "Adjusted(ResolutionRounded)"),
    cc(0x1, 0x37, 0x01, none, "Adjusted(Unreported)"),
    cc(0x1, 0x61, 0x02, 4, "Failed(OutOfFocus)"),
    cc(0x1, 0x61, 0x01, none, "Adjusted(Unreported)"),
    cc(0x1, 0x00, 0x00, none, "Adjusted(Unreported)"),
    // Key 2, 04h.
    cc(0x2, 0x04, 0x00, 3, "Waiting(Initializing)"),
    cc(0x2, 0x04, 0x01, 0, "Waiting(ActivatingOperation)"),
    cc(0x2, 0x04, 0x01, 1, "Waiting(MovingMechanism)"),
    cc(0x2, 0x04, 0x01, 2, "Waiting(MeasuringCorrection)"),
    cc(0x2, 0x04, 0x01, 3, "Waiting(MovingMechanism)"),
    cc(0x2, 0x04, 0x01, 4, "Waiting(AutoShadingOrWb)"),
    cc(0x2, 0x04, 0x01, 5, "Waiting(Unreported)"),
    cc(0x2, 0x04, 0x01, 0xFF, "Waiting(Unreported)"),
    cc(0x2, 0x04, 0x01, none, "Waiting(Unreported)"),
    cc(0x2, 0x04, 0x02, 0, "Failed(Mechanism)"),
    cc(0x2, 0x04, 0x03, 0, "Intervene(AdapterEjected)"),
    cc(0x2, 0x04, 0x03, 1, "Intervene(DoorNotOpen)"),
    cc(0x2, 0x04, 0x03, 2, "Intervene(UnknownAdapter)"),
    cc(0x2, 0x04, 0x03, 3, "Intervene(FilmGateClosed)"),
    cc(0x2, 0x04, 0x03, 4, "Intervene(AdapterUnlocked)"),
    cc(0x2, 0x04, 0x03, 5, "Intervene(Unreported)"),
    cc(0x2, 0x04, 0x03, 6, "Intervene(MaskNotSet)"),
    cc(0x2, 0x04, 0x03, 7, "Intervene(UnknownHolder)"),
    cc(0x2, 0x04, 0x03, 8, "Intervene(Unreported)"),
    cc(0x2, 0x04, 0x03, none, "Intervene(Unreported)"),
    cc(0x2, 0x04, 0x04, 0, "Failed(Unrecognized)"),
    cc(0x2, 0x04, 0xFF, none, "Failed(Unrecognized)"),
    // Key 2, 05h and 3Ah.
    cc(0x2, 0x05, 0x00, none, "Waiting(Initializing)"),
    cc(0x2, 0x05, 0x01, none, "Failed(Unrecognized)"),
    cc(0x2, 0x3A, 0x00, 0, "Intervene(NothingToLoad)"),
    cc(0x2, 0x3A, 0x00, 1, "Intervene(NoMedium)"),
    cc(0x2, 0x3A, 0x00, 2, "Intervene(NoMedium)"),
    cc(0x2, 0x3A, 0x00, 3, "Intervene(FilmOutOfStandard)"),
    cc(0x2, 0x3A, 0x00, 4, "Rejected(FrameOutOfRange)"),
    cc(0x2, 0x3A, 0x00, 5, "Intervene(NoMedium)"),
    cc(0x2, 0x3A, 0x00, none, "Intervene(NoMedium)"),
    cc(0x2, 0x3A, 0x01, 4, "Failed(Unrecognized)"),
    cc(0x2, 0x06, 0x00, none, "Failed(Unrecognized)"),
    cc(0x2, 0x00, 0x00, none, "Failed(Unrecognized)"),
    // Keys 3 and 4.
    cc(0x3, 0x11, 0x00, none, "Failed(Medium)"),
    cc(0x3, 0x00, 0x00, 4, "Failed(Medium)"),
    cc(0x4, 0x44, 0x00, none, "Failed(Hardware)"),
    // Key 5: mostly by ASC alone.
    cc(0x5, 0x1A, 0x07, none, "Rejected(BadLength)"),
    cc(0x5, 0x20, 0x00, none, "Rejected(UnknownOpcode)"),
    cc(0x5, 0x24, 0x00, none, "Rejected(BadCdbField)"),
    cc(0x5, 0x24, 0x05, 4, "Rejected(BadCdbField)"),
    cc(0x5, 0x25, 0x00, none, "Rejected(BadLun)"),
    cc(0x5, 0x26, 0x02, none, "Rejected(BadParamField)"),
    cc(0x5, 0x2C, 0x00, none, "Rejected(OutOfSequence)"),
    cc(0x5, 0x2C, 0x02, none, "Rejected(BadWindowCombo)"),
    cc(0x5, 0x2C, 0x01, none, "Failed(Unrecognized)"),
    cc(0x5, 0x3A, 0x00, 4, "Failed(Unrecognized)"),
    // Key 6.
    cc(0x6, 0x28, 0x00, none, "Changed(MediumChanged)"),
    cc(0x6, 0x28, 0x01, none, "Changed(Unreported)"),
    cc(0x6, 0x29, 0x00, none, "Changed(Reset)"),
    cc(0x6, 0x29, 0x07, none, "Changed(Reset)"),
    cc(0x6, 0x2A, 0x01, none, "Changed(ModeParameters)"),
    cc(0x6, 0x2A, 0x00, none, "Changed(Unreported)"),
    cc(0x6, 0x3F, 0x03, none, "Changed(Capabilities)"),
    cc(0x6, 0x3F, 0x04, none, "Changed(Attached)"),
    cc(0x6, 0x3F, 0x01, none, "Changed(Unreported)"),
    cc(0x6, 0x00, 0x00, none, "Changed(Unreported)"),
    // Keys 7, 8, 0Ah.
    cc(0x7, 0x27, 0x00, none, "Failed(Unrecognized)"),
    cc(0x8, 0x00, 0x00, none, "Failed(Unrecognized)"),
    cc(0xA, 0x00, 0x00, none, "Failed(Unrecognized)"),
    // Key 9: cooperation.
    cc(0x9, 0x80, 0x01, none, "Cooperate(Thumbnail)"),
    cc(0x9, 0x80, 0x02, none, "Cooperate(Averaging)"),
    cc(0x9, 0x80, 0x04, none, "Cooperate(MultiLineRegistration)"),
    cc(0x9, 0x80, 0x06, none, "Cooperate(Truncate)"),
    cc(0x9, 0x80, 0x07, none, "Cooperate(CcdData)"),
    cc(0x9, 0x80, 0x05, none, "Cooperate(Unknown(5))"),
    cc(0x9, 0x80, 0x00, none, "Cooperate(Unknown(0))"),
    cc(0x9, 0x80, 0x03, none, "Cooperate(Unknown(3))"),
    cc(0x9, 0x80, 0xFF, none, "Cooperate(Unknown(255))"),
    cc(0x9, 0x81, 0x01, none, "Failed(Unrecognized)"),
    // Key 0Bh: two waits, else aborted.
    cc(0xB, 0x08, 0x00, none, "Waiting(TargetBusy)"),
    cc(0xB, 0x08, 0x03, none, "Waiting(TargetBusy)"),
    cc(0xB, 0x3E, 0x01, none, "Waiting(Initializing)"),
    cc(0xB, 0x47, 0x00, none, "Failed(Aborted)"),
    cc(0xB, 0x00, 0x00, none, "Failed(Aborted)"),
    // Keys 0Ch to 0Fh.
    cc(0xC, 0x00, 0x00, none, "Failed(Unrecognized)"),
    cc(0xD, 0x00, 0x00, none, "Failed(Unrecognized)"),
    cc(0xE, 0x00, 0x00, none, "Failed(Unrecognized)"),
    cc(0xF, 0x00, 0x00, none, "Failed(Unrecognized)"),
};

INSTANTIATE_TEST_SUITE_P(Table, Interpret, ::testing::ValuesIn(rows));

TEST(Interpretation, SuccessClasses) {
    EXPECT_TRUE(interpret(reply_of(cc(0x1, 0x37, 0x00, none, ""))).success());
    EXPECT_TRUE(interpret(reply_of({0x00, false, 0, 0, 0, none, ""})).success());
    EXPECT_FALSE(interpret(reply_of(cc(0x1, 0x61, 0x02, none, ""))).success());
    EXPECT_FALSE(interpret(reply_of(cc(0x2, 0x04, 0x01, 1, ""))).success());
}

TEST(DetailTexts, Display) {
    const std::pair<Intervention, const char*> interventions[] = {
        {Intervention::AdapterEjected, "The adapter is ejected"},
        {Intervention::DoorNotOpen, "IA-20: The LL door is not completely opened"},
        {Intervention::UnknownAdapter, "Undefined adapter"},
        {Intervention::FilmGateClosed, "SA-30: The film of 6 frames or more is loaded when the film gate is closed"},
        {Intervention::AdapterUnlocked, "SA-21/SA-30: The adapter is pulled out a little in the locked status"},
        {Intervention::MaskNotSet, "FH-869GR: the mask is not set"},
        {Intervention::UnknownHolder, "Undefined holder"},
        {Intervention::NoMedium, "No film or holder is loaded"},
        {Intervention::NothingToLoad, "The adapter has nothing left to load"},
        {Intervention::FilmOutOfStandard, "SA-21/SA-30: a nonstandard film was inserted"},
        {Intervention::Unreported, "User intervention required with no additional details"},
    };
    for (const auto& [v, text] : interventions) EXPECT_EQ(to_string(v), text);

    EXPECT_EQ(to_string(Contention::Busy), "the scanner is busy");
    EXPECT_EQ(to_string(Contention::Reserved), "another initiator holds the scanner");
    EXPECT_EQ(debug_string(Contention::Busy), "Busy");
    EXPECT_EQ(debug_string(Contention::Reserved), "Reserved");

    const std::pair<Refusal, const char*> refusals[] = {
        {Refusal::BadCdbField, "invalid field in CDB"},
        {Refusal::BadParamField, "invalid field in parameter list"},
        {Refusal::BadLength, "parameter list length error"},
        {Refusal::UnknownOpcode, "invalid operation code"},
        {Refusal::BadLun, "invalid logical unit"},
        {Refusal::OutOfSequence, "command sequence error"},
        {Refusal::BadWindowCombo, "invalid combination of windows"},
        {Refusal::FrameOutOfRange, "frame beyond the number of frames in the film"},
    };
    for (const auto& [v, text] : refusals) EXPECT_EQ(to_string(v), text);

    const std::tuple<Failure, const char*, const char*> failures[] = {
        {Failure{Failure::Mechanism{}}, "mechanical error", "Mechanism"},
        {Failure{Failure::Aborted{}}, "command aborted", "Aborted"},
        {Failure{Failure::Hardware{}}, "hardware error", "Hardware"},
        {Failure{Failure::Medium{}}, "medium error", "Medium"},
        {Failure{Failure::UnexpectedStatus{0x40}}, "unexpected status 0x40", "UnexpectedStatus(64)"},
        {Failure{Failure::UnexpectedStatus{0x04}}, "unexpected status 0x04", "UnexpectedStatus(4)"},
        {Failure{Failure::UnexpectedStatus{0xC1}}, "unexpected status 0xc1", "UnexpectedStatus(193)"},
        {Failure{Failure::Unrecognized{}}, "unrecognized sense", "Unrecognized"},
        {Failure{Failure::OutOfFocus{}}, "autofocus did not reach focus", "OutOfFocus"},
    };
    for (const auto& [v, text, debug] : failures) {
        EXPECT_EQ(to_string(v), text);
        EXPECT_EQ(debug_string(v), debug);
    }
}

}  // namespace
