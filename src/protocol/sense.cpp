#include "protocol/sense.hpp"

#include <fmt/format.h>

namespace vexlor::protocol::sense {

namespace {

using I = Interpretation;

I failed(Failure f) { return {I::Failed{f}}; }
I unrecognized() { return failed({Failure::Unrecognized{}}); }
I waiting(Activity a) { return {I::Waiting{a}}; }
I intervene(Intervention v) { return {I::Intervene{v}}; }
I rejected(Refusal r) { return {I::Rejected{r}}; }
I changed(Change c) { return {I::Changed{c}}; }
I cooperate(Coop c) { return {I::Cooperate{c}}; }

I not_ready(std::uint8_t asc, std::uint8_t ascq, std::optional<std::uint8_t> fourth) {
    const int f = fourth ? int{*fourth} : -1;
    if (asc == 0x04) {
        switch (ascq) {
            case 0x00: return waiting(Activity::Initializing);
            case 0x01:
                switch (f) {
                    case 0: return waiting(Activity::ActivatingOperation);
                    case 1:
                    case 3: return waiting(Activity::MovingMechanism);
                    case 2: return waiting(Activity::MeasuringCorrection);
                    case 4: return waiting(Activity::AutoShadingOrWb);
                    default: return waiting(Activity::Unreported);
                }
            case 0x02: return failed({Failure::Mechanism{}});
            case 0x03:
                switch (f) {
                    case 0: return intervene(Intervention::AdapterEjected);
                    case 1: return intervene(Intervention::DoorNotOpen);
                    case 2: return intervene(Intervention::UnknownAdapter);
                    case 3: return intervene(Intervention::FilmGateClosed);
                    case 4: return intervene(Intervention::AdapterUnlocked);
                    case 6: return intervene(Intervention::MaskNotSet);
                    case 7: return intervene(Intervention::UnknownHolder);
                    default: return intervene(Intervention::Unreported);
                }
            default: return unrecognized();
        }
    }
    if (asc == 0x05) return ascq == 0x00 ? waiting(Activity::Initializing) : unrecognized();
    if (asc == 0x3A) {
        if (ascq != 0x00) return unrecognized();
        switch (f) {
            case 0: return intervene(Intervention::NothingToLoad);
            case 1:
            case 2: return intervene(Intervention::NoMedium);
            case 3: return intervene(Intervention::FilmOutOfStandard);
            case 4: return rejected(Refusal::FrameOutOfRange);
            default: return intervene(Intervention::NoMedium);
        }
    }
    return unrecognized();
}

I from_sense(const transport::Sense& s) {
    const std::uint8_t key = s.key & 0x0F, asc = s.asc, ascq = s.ascq;
    switch (key) {
        case 0x0: return asc == 0 && ascq == 0 ? I{I::Good{}} : unrecognized();
        case 0x1:
            if (asc == 0x37 && ascq == 0x00) return {I::Adjusted{Adjustment::ResolutionRounded}};
            if (asc == 0x61 && ascq == 0x02) return failed({Failure::OutOfFocus{}});
            return {I::Adjusted{Adjustment::Unreported}};
        case 0x2: return not_ready(asc, ascq, s.specific);
        case 0x3: return failed({Failure::Medium{}});
        case 0x4: return failed({Failure::Hardware{}});
        case 0x5:
            switch (asc) {
                case 0x1A: return rejected(Refusal::BadLength);
                case 0x20: return rejected(Refusal::UnknownOpcode);
                case 0x24: return rejected(Refusal::BadCdbField);
                case 0x25: return rejected(Refusal::BadLun);
                case 0x26: return rejected(Refusal::BadParamField);
                case 0x2C:
                    if (ascq == 0x00) return rejected(Refusal::OutOfSequence);
                    if (ascq == 0x02) return rejected(Refusal::BadWindowCombo);
                    return unrecognized();
                default: return unrecognized();
            }
        case 0x6:
            if (asc == 0x28 && ascq == 0x00) return changed(Change::MediumChanged);
            if (asc == 0x29) return changed(Change::Reset);
            if (asc == 0x2A && ascq == 0x01) return changed(Change::ModeParameters);
            if (asc == 0x3F && ascq == 0x03) return changed(Change::Capabilities);
            if (asc == 0x3F && ascq == 0x04) return changed(Change::Attached);
            return changed(Change::Unreported);
        case 0x9:
            if (asc != 0x80) return unrecognized();
            switch (ascq) {
                case 0x01: return cooperate({Coop::Thumbnail{}});
                case 0x02: return cooperate({Coop::Averaging{}});
                case 0x04: return cooperate({Coop::MultiLineRegistration{}});
                case 0x06: return cooperate({Coop::Truncate{}});
                case 0x07: return cooperate({Coop::CcdData{}});
                default: return cooperate({Coop::Unknown{ascq}});
            }
        case 0xB:
            if (asc == 0x08) return waiting(Activity::TargetBusy);
            if (asc == 0x3E) return waiting(Activity::Initializing);
            return failed({Failure::Aborted{}});
        default: return unrecognized();  // 7, 8, 0A, 0C-0F
    }
}

}  // namespace

Interpretation interpret(const transport::Reply& reply) {
    switch (reply.status.kind()) {
        case transport::Status::Kind::Busy: return waiting(Activity::TargetBusy);
        case transport::Status::Kind::ReservationConflict: return {I::Contended{Contention::Reserved}};
        case transport::Status::Kind::Other: return failed({Failure::UnexpectedStatus{reply.status.byte()}});
        case transport::Status::Kind::Good:
        case transport::Status::Kind::CheckCondition:
            if (!reply.sense) return {I::Good{}};
            return from_sense(*reply.sense);
    }
    return unrecognized();
}

std::string to_string(Intervention v) {
    switch (v) {
        case Intervention::AdapterEjected: return "The adapter is ejected";
        case Intervention::DoorNotOpen: return "IA-20: The LL door is not completely opened";
        case Intervention::UnknownAdapter: return "Undefined adapter";
        case Intervention::FilmGateClosed: return "SA-30: The film of 6 frames or more is loaded when the film gate is closed";
        case Intervention::AdapterUnlocked: return "SA-21/SA-30: The adapter is pulled out a little in the locked status";
        case Intervention::MaskNotSet: return "FH-869GR: the mask is not set";
        case Intervention::UnknownHolder: return "Undefined holder";
        case Intervention::NoMedium: return "No film or holder is loaded";
        case Intervention::NothingToLoad: return "The adapter has nothing left to load";
        case Intervention::FilmOutOfStandard: return "SA-21/SA-30: a nonstandard film was inserted";
        case Intervention::Unreported: return "User intervention required with no additional details";
    }
    return {};
}

std::string to_string(Contention v) {
    return v == Contention::Busy ? "the scanner is busy" : "another initiator holds the scanner";
}

std::string to_string(Refusal v) {
    switch (v) {
        case Refusal::BadCdbField: return "invalid field in CDB";
        case Refusal::BadParamField: return "invalid field in parameter list";
        case Refusal::BadLength: return "parameter list length error";
        case Refusal::UnknownOpcode: return "invalid operation code";
        case Refusal::BadLun: return "invalid logical unit";
        case Refusal::OutOfSequence: return "command sequence error";
        case Refusal::BadWindowCombo: return "invalid combination of windows";
        case Refusal::FrameOutOfRange: return "frame beyond the number of frames in the film";
    }
    return {};
}

std::string to_string(const Failure& v) {
    struct V {
        std::string operator()(Failure::Mechanism) const { return "mechanical error"; }
        std::string operator()(Failure::Aborted) const { return "command aborted"; }
        std::string operator()(Failure::Hardware) const { return "hardware error"; }
        std::string operator()(Failure::Medium) const { return "medium error"; }
        std::string operator()(Failure::UnexpectedStatus s) const { return fmt::format("unexpected status {:#04x}", s.status); }
        std::string operator()(Failure::Unrecognized) const { return "unrecognized sense"; }
        std::string operator()(Failure::OutOfFocus) const { return "autofocus did not reach focus"; }
    };
    return std::visit(V{}, v.value);
}

std::string to_string(const Fault& f) {
    if (const auto* r = std::get_if<Fault::Reported>(&f.value)) {
        return fmt::format("scanner fault: {} ({})", to_string(r->failure), transport::debug_string(r->sense));
    }
    if (const auto* r = std::get_if<Fault::Rejected>(&f.value)) {
        return fmt::format("scanner rejected the command: {} ({})", to_string(r->refusal), transport::debug_string(r->sense));
    }
    return caps::to_string(std::get<Fault::Caps>(f.value).error);
}

std::string debug_string(Adjustment v) { return v == Adjustment::ResolutionRounded ? "ResolutionRounded" : "Unreported"; }

std::string debug_string(Activity v) {
    switch (v) {
        case Activity::ActivatingOperation: return "ActivatingOperation";
        case Activity::MovingMechanism: return "MovingMechanism";
        case Activity::MeasuringCorrection: return "MeasuringCorrection";
        case Activity::AutoShadingOrWb: return "AutoShadingOrWb";
        case Activity::Initializing: return "Initializing";
        case Activity::TargetBusy: return "TargetBusy";
        case Activity::Unreported: return "Unreported";
    }
    return {};
}

std::string debug_string(const Coop& v) {
    struct V {
        std::string operator()(Coop::Thumbnail) const { return "Thumbnail"; }
        std::string operator()(Coop::Averaging) const { return "Averaging"; }
        std::string operator()(Coop::MultiLineRegistration) const { return "MultiLineRegistration"; }
        std::string operator()(Coop::Truncate) const { return "Truncate"; }
        std::string operator()(Coop::CcdData) const { return "CcdData"; }
        std::string operator()(Coop::Unknown u) const { return fmt::format("Unknown({})", u.ascq); }
    };
    return std::visit(V{}, v.value);
}

std::string debug_string(Change v) {
    switch (v) {
        case Change::MediumChanged: return "MediumChanged";
        case Change::Reset: return "Reset";
        case Change::ModeParameters: return "ModeParameters";
        case Change::Capabilities: return "Capabilities";
        case Change::Attached: return "Attached";
        case Change::Unreported: return "Unreported";
    }
    return {};
}

std::string debug_string(Intervention v) {
    switch (v) {
        case Intervention::AdapterEjected: return "AdapterEjected";
        case Intervention::DoorNotOpen: return "DoorNotOpen";
        case Intervention::UnknownAdapter: return "UnknownAdapter";
        case Intervention::FilmGateClosed: return "FilmGateClosed";
        case Intervention::AdapterUnlocked: return "AdapterUnlocked";
        case Intervention::MaskNotSet: return "MaskNotSet";
        case Intervention::UnknownHolder: return "UnknownHolder";
        case Intervention::NoMedium: return "NoMedium";
        case Intervention::NothingToLoad: return "NothingToLoad";
        case Intervention::FilmOutOfStandard: return "FilmOutOfStandard";
        case Intervention::Unreported: return "Unreported";
    }
    return {};
}

std::string debug_string(Contention v) { return v == Contention::Busy ? "Busy" : "Reserved"; }

std::string debug_string(Refusal v) {
    switch (v) {
        case Refusal::BadCdbField: return "BadCdbField";
        case Refusal::BadParamField: return "BadParamField";
        case Refusal::BadLength: return "BadLength";
        case Refusal::UnknownOpcode: return "UnknownOpcode";
        case Refusal::BadLun: return "BadLun";
        case Refusal::OutOfSequence: return "OutOfSequence";
        case Refusal::BadWindowCombo: return "BadWindowCombo";
        case Refusal::FrameOutOfRange: return "FrameOutOfRange";
    }
    return {};
}

std::string debug_string(const Failure& v) {
    struct V {
        std::string operator()(Failure::Mechanism) const { return "Mechanism"; }
        std::string operator()(Failure::Aborted) const { return "Aborted"; }
        std::string operator()(Failure::Hardware) const { return "Hardware"; }
        std::string operator()(Failure::Medium) const { return "Medium"; }
        std::string operator()(Failure::UnexpectedStatus s) const { return fmt::format("UnexpectedStatus({})", s.status); }
        std::string operator()(Failure::Unrecognized) const { return "Unrecognized"; }
        std::string operator()(Failure::OutOfFocus) const { return "OutOfFocus"; }
    };
    return std::visit(V{}, v.value);
}

std::string debug_string(const Interpretation& v) {
    struct V {
        std::string operator()(const I::Good&) const { return "Good"; }
        std::string operator()(const I::Adjusted& a) const { return "Adjusted(" + debug_string(a.detail) + ")"; }
        std::string operator()(const I::Waiting& a) const { return "Waiting(" + debug_string(a.detail) + ")"; }
        std::string operator()(const I::Cooperate& a) const { return "Cooperate(" + debug_string(a.detail) + ")"; }
        std::string operator()(const I::Intervene& a) const { return "Intervene(" + debug_string(a.detail) + ")"; }
        std::string operator()(const I::Changed& a) const { return "Changed(" + debug_string(a.detail) + ")"; }
        std::string operator()(const I::Contended& a) const { return "Contended(" + debug_string(a.detail) + ")"; }
        std::string operator()(const I::Rejected& a) const { return "Rejected(" + debug_string(a.detail) + ")"; }
        std::string operator()(const I::Failed& a) const { return "Failed(" + debug_string(a.detail) + ")"; }
    };
    return std::visit(V{}, v.value);
}

std::string debug_string(const Fault& f) {
    if (const auto* r = std::get_if<Fault::Reported>(&f.value)) {
        return "Reported(" + debug_string(r->failure) + ", " + transport::debug_string(r->sense) + ")";
    }
    if (const auto* r = std::get_if<Fault::Rejected>(&f.value)) {
        return "Rejected(" + debug_string(r->refusal) + ", " + transport::debug_string(r->sense) + ")";
    }
    return "Caps(" + caps::debug_string(std::get<Fault::Caps>(f.value).error) + ")";
}

}  // namespace vexlor::protocol::sense
