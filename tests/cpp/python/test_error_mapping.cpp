#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "python/mapping.hpp"

using namespace vexlor;
using python::Exception;
using python::Mapped;
using namespace protocol::sense;

namespace {

transport::Sense illegal_request() {
    transport::Sense s;
    s.raw = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x24, 0x00};
    s.key = 0x05;
    s.asc = 0x24;
    s.ascq = 0x00;
    return s;
}

}  // namespace

TEST(ErrorMapping, EveryCaseGivesItsExceptionAndText) {
    const std::string eio = std::strerror(EIO);
    struct Case {
        error::Error error;
        Mapped expected;
    };
    const Case cases[] = {
        {error::Error(transport::Error::io(transport::IoError::os(EIO))),
         {Exception::TransportError, "io error: " + eio + " (os error 5)", {}, {}}},
        {error::Error(transport::Error::io(transport::IoKind::BrokenPipe, "endpoint stalled")),
         {Exception::TransportError, "io error: endpoint stalled", {}, {}}},
        {error::Error(transport::Error::timeout(std::chrono::seconds(180))),
         {Exception::TransportError, "timed out after 180s", {}, {}}},
        {error::Error(transport::Error::timeout(std::chrono::milliseconds(200))),
         {Exception::TransportError, "timed out after 200ms", {}, {}}},
        {error::Error(error::Error::Busy{Contention::Busy}), {Exception::DeviceBusy, "the scanner is busy", {}, {}}},
        {error::Error(error::Error::Busy{Contention::Reserved}),
         {Exception::DeviceBusy, "another initiator holds the scanner", {}, {}}},
        {error::Error(error::Error::Media{Intervention::NoMedium}),
         {Exception::MediaError, "No film or holder is loaded", {}, {}}},
        {error::Error::not_found(), {Exception::DeviceNotFound, "no such scanner", {}, {}}},
        {error::Error::unsupported("exposure", "the unit meters by itself"),
         {Exception::UnsupportedError, "exposure: the unit meters by itself", "exposure", "the unit meters by itself"}},
        {error::Error::unsupported("focus", ""), {Exception::UnsupportedError, "focus: ", "focus", ""}},
        {error::Error::cancelled(), {Exception::ScanCancelled, "scan cancelled", {}, {}}},
        {error::Error(Fault{Fault::Reported{Failure{Failure::Hardware{}}, std::nullopt}}),
         {Exception::ScannerError, "scanner fault: hardware error (None)", {}, {}}},
        {error::Error(Fault{Fault::Rejected{Refusal::BadCdbField, std::nullopt}}),
         {Exception::ScannerError, "scanner rejected the command: invalid field in CDB (None)", {}, {}}},
        {error::Error(Fault{Fault::Rejected{Refusal::BadCdbField, illegal_request()}}),
         {Exception::ScannerError,
          "scanner rejected the command: invalid field in CDB (Some(05h-24h-00h-?? raw=[70, 00, 05, 00, 00, 00, 00, 0A, "
          "00, 00, 00, 00, 24, 00]))",
          {},
          {}}},
        {error::Error(protocol::caps::Error::truncated(0xC1, 12, 4)),
         {Exception::ScannerError, "page C1h truncated: need 12 bytes, got 4", {}, {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(error::debug_string(c.error));
        EXPECT_EQ(python::map_error(c.error), c.expected);
    }
}

TEST(ErrorMapping, MessagesAreTheErrorsOwnTextButForUnsupported) {
    // The shared display form drops ": " for an empty reason; the exception keeps it.
    const error::Error e = error::Error::unsupported("focus", "");
    EXPECT_NE(python::map_error(e).message, error::to_string(e));
    const error::Error others[] = {error::Error::not_found(), error::Error::cancelled(),
                                   error::Error(transport::Error::timeout(std::chrono::seconds(3)))};
    for (const auto& o : others) EXPECT_EQ(python::map_error(o).message, error::to_string(o));
}
