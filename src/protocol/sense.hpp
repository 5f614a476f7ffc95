// Every command outcome becomes exactly one of nine classes, each with a detail value from a
// closed list; the failing ones carry fixed operator texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "protocol/caps/page.hpp"
#include "transport/transport.hpp"

namespace vexlor::protocol::sense {

enum class Adjustment { ResolutionRounded, Unreported };
enum class Activity { ActivatingOperation, MovingMechanism, MeasuringCorrection, AutoShadingOrWb, Initializing, TargetBusy, Unreported };
enum class Change { MediumChanged, Reset, ModeParameters, Capabilities, Attached, Unreported };
enum class Intervention {
    AdapterEjected, DoorNotOpen, UnknownAdapter, FilmGateClosed, AdapterUnlocked, MaskNotSet,
    UnknownHolder, NoMedium, NothingToLoad, FilmOutOfStandard, Unreported,
};
enum class Contention { Busy, Reserved };
enum class Refusal { BadCdbField, BadParamField, BadLength, UnknownOpcode, BadLun, OutOfSequence, BadWindowCombo, FrameOutOfRange };

// What the unit asks the host to cooperate on; Unknown keeps the ASCQ that named nothing known.
struct Coop {
    struct Thumbnail { bool operator==(const Thumbnail&) const = default; };
    struct Averaging { bool operator==(const Averaging&) const = default; };
    struct MultiLineRegistration { bool operator==(const MultiLineRegistration&) const = default; };
    struct Truncate { bool operator==(const Truncate&) const = default; };
    struct CcdData { bool operator==(const CcdData&) const = default; };
    struct Unknown {
        std::uint8_t ascq;
        bool operator==(const Unknown&) const = default;
    };
    std::variant<Thumbnail, Averaging, MultiLineRegistration, Truncate, CcdData, Unknown> value;
    bool operator==(const Coop&) const = default;
};

struct Failure {
    struct Mechanism { bool operator==(const Mechanism&) const = default; };
    struct Aborted { bool operator==(const Aborted&) const = default; };
    struct Hardware { bool operator==(const Hardware&) const = default; };
    struct Medium { bool operator==(const Medium&) const = default; };
    struct UnexpectedStatus {
        std::uint8_t status;
        bool operator==(const UnexpectedStatus&) const = default;
    };
    struct Unrecognized { bool operator==(const Unrecognized&) const = default; };
    struct OutOfFocus { bool operator==(const OutOfFocus&) const = default; };
    std::variant<Mechanism, Aborted, Hardware, Medium, UnexpectedStatus, Unrecognized, OutOfFocus> value;
    bool operator==(const Failure&) const = default;
};

struct Interpretation {
    struct Good { bool operator==(const Good&) const = default; };
    struct Adjusted { Adjustment detail; bool operator==(const Adjusted&) const = default; };
    struct Waiting { Activity detail; bool operator==(const Waiting&) const = default; };
    struct Cooperate { Coop detail; bool operator==(const Cooperate&) const = default; };
    struct Intervene { Intervention detail; bool operator==(const Intervene&) const = default; };
    struct Changed { Change detail; bool operator==(const Changed&) const = default; };
    struct Contended { Contention detail; bool operator==(const Contended&) const = default; };
    struct Rejected { Refusal detail; bool operator==(const Rejected&) const = default; };
    struct Failed { Failure detail; bool operator==(const Failed&) const = default; };
    std::variant<Good, Adjusted, Waiting, Cooperate, Intervene, Changed, Contended, Rejected, Failed> value;

    // Good and Adjusted count as success.
    bool success() const { return value.index() <= 1; }
    bool operator==(const Interpretation&) const = default;
};

// The payload of a device error: a failure or refusal the unit reported, or a page that did
// not parse.
struct Fault {
    struct Reported {
        Failure failure;
        std::optional<transport::Sense> sense;
        bool operator==(const Reported&) const = default;
    };
    struct Rejected {
        Refusal refusal;
        std::optional<transport::Sense> sense;
        bool operator==(const Rejected&) const = default;
    };
    struct Caps {
        caps::Error error;
        bool operator==(const Caps&) const = default;
    };
    std::variant<Reported, Rejected, Caps> value;
    bool operator==(const Fault&) const = default;
};

// Reads only the status and, when present, the sense's key, ASC, ASCQ and fourth code.
Interpretation interpret(const transport::Reply& reply);

std::string to_string(Intervention v);
std::string to_string(Contention v);
std::string to_string(Refusal v);
std::string to_string(const Failure& v);
std::string to_string(const Fault& v);

std::string debug_string(Adjustment v);
std::string debug_string(Activity v);
std::string debug_string(const Coop& v);
std::string debug_string(Change v);
std::string debug_string(Intervention v);
std::string debug_string(Contention v);
std::string debug_string(Refusal v);
std::string debug_string(const Failure& v);
std::string debug_string(const Interpretation& v);
std::string debug_string(const Fault& v);

}  // namespace vexlor::protocol::sense
