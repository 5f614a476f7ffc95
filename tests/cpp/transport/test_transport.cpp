#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "transport/transport.hpp"

using namespace std::chrono_literals;
using namespace vexlor::transport;

namespace {

std::vector<std::uint8_t> fixed(std::uint8_t b0, std::uint8_t b2, std::uint8_t asc, std::uint8_t ascq,
                                std::size_t len = 14) {
    std::vector<std::uint8_t> b(len, 0);
    b[0] = b0;
    b[2] = b2;
    b[12] = asc;
    b[13] = ascq;
    return b;
}

const char* const raw14_70 = "[70, 00, 05, 00, 00, 00, 00, 00, 00, 00, 00, 00, 24, 00]";

TEST(SenseFromFixed, IllegalRequestWithoutInformation) {
    const auto s = sense_from_fixed(fixed(0x70, 0x05, 0x24, 0x00), std::nullopt);
    EXPECT_EQ(s.key, 5);
    EXPECT_EQ(s.asc, 0x24);
    EXPECT_EQ(s.ascq, 0);
    EXPECT_FALSE(s.ili);
    EXPECT_EQ(s.information, std::nullopt);
    EXPECT_EQ(s.specific, std::nullopt);
    EXPECT_EQ(s.raw.size(), 14u);
    EXPECT_EQ(debug_string(s), std::string("05h-24h-00h-?? raw=") + raw14_70);
}

TEST(SenseFromFixed, InformationAndIli) {
    struct Case {
        std::uint8_t b0, b2;
        std::optional<std::uint32_t> information;
        bool ili;
        std::uint8_t key;
        const char* head;  // the debug form before " raw="
    };
    const Case cases[] = {
        {0xF0, 0x05, 256, false, 5, "05h-24h-00h-??"},      // valid but printed only with ILI
        {0xF0, 0x25, 256, true, 5, "05h-24h-00h ILI(256)-??"},
        {0x70, 0x25, std::nullopt, true, 5, "05h-24h-00h ILI-??"},
        {0x70, 0x45, std::nullopt, false, 5, "05h-24h-00h-??"},  // bits 4, 6, 7 ignored
        {0x70, 0xD5, std::nullopt, false, 5, "05h-24h-00h-??"},
        {0x80, 0x2F, 256, true, 0x0F, "0Fh-24h-00h ILI(256)-??"},  // response code not examined
    };
    for (const auto& c : cases) {
        auto bytes = fixed(c.b0, c.b2, 0x24, 0x00);
        bytes[3] = 0x00, bytes[4] = 0x00, bytes[5] = 0x01, bytes[6] = 0x00;
        const auto s = sense_from_fixed(bytes, std::nullopt);
        EXPECT_EQ(s.information, c.information) << int{c.b0};
        EXPECT_EQ(s.ili, c.ili) << int{c.b2};
        EXPECT_EQ(s.key, c.key) << int{c.b2};
        const auto text = debug_string(s);
        EXPECT_EQ(text.substr(0, text.find(" raw=")), c.head);
    }
}

TEST(SenseFromFixed, KeepsEveryByteAndTheFourthCode) {
    auto bytes = fixed(0xF0, 0x02, 0x04, 0x01, 18);
    bytes[3] = 0x12, bytes[4] = 0x34, bytes[5] = 0x56, bytes[6] = 0x78;
    bytes[17] = 0xAB;
    const auto s = sense_from_fixed(bytes, std::uint8_t{3});
    EXPECT_EQ(s.raw, bytes);
    EXPECT_EQ(s.information, 0x12345678u);
    EXPECT_EQ(s.specific, std::uint8_t{3});
    EXPECT_EQ(debug_string(s),
              "02h-04h-01h-03h raw=[F0, 00, 02, 12, 34, 56, 78, 00, 00, 00, 00, 00, 04, 01, 00, 00, 00, AB]");
}

TEST(SenseText, OptionalSense) {
    EXPECT_EQ(debug_string(std::optional<Sense>{}), "None");
    const std::optional<Sense> s = sense_from_fixed(fixed(0x70, 0x05, 0x24, 0x00), std::nullopt);
    EXPECT_EQ(debug_string(s), std::string("Some(05h-24h-00h-?? raw=") + raw14_70 + ")");
}

TEST(StatusText, CasesAndWholeByteCompare) {
    const std::pair<std::uint8_t, const char*> cases[] = {
        {0x00, "Good"}, {0x02, "CheckCondition"}, {0x08, "Busy"}, {0x18, "ReservationConflict"},
        {0x04, "Other(4)"}, {0x10, "Other(16)"}, {0x40, "Other(64)"}, {0x0A, "Other(10)"}, {0x82, "Other(130)"},
    };
    for (const auto& [byte, text] : cases) EXPECT_EQ(debug_string(Status(byte)), text);
    EXPECT_EQ(Status(0x04).kind(), Status::Kind::Other);
    EXPECT_EQ(Status(0x04).byte(), 0x04);
    EXPECT_EQ(Status(0x18).kind(), Status::Kind::ReservationConflict);
}

TEST(DataText, Cases) {
    std::uint8_t in[36];
    const std::uint8_t out[8] = {};
    EXPECT_EQ(debug_string(Data::none()), "None");
    EXPECT_EQ(debug_string(Data::in(in)), "In(36 bytes)");
    EXPECT_EQ(debug_string(Data::out(out)), "Out(8 bytes)");
    EXPECT_EQ(debug_string(Data::out({})), "Out(0 bytes)");
    EXPECT_EQ(Data::in(in).size(), 36u);
    EXPECT_EQ(Data::none().size(), 0u);
}

TEST(TransportErrorText, DisplayAndDebug) {
    struct Case {
        Error error;
        const char* display;
        const char* debug;
    };
    const Case cases[] = {
        {Error::timeout(180s), "timed out after 180s", "Timeout(180s)"},
        {Error::timeout(1500ms), "timed out after 1.5s", "Timeout(1.5s)"},
        {Error::timeout(200ms), "timed out after 200ms", "Timeout(200ms)"},
        {Error::io(IoKind::InvalidData, "status phase returned 3 bytes, expected 8"),
         "io error: status phase returned 3 bytes, expected 8",
         R"(Io(Custom { kind: InvalidData, error: "status phase returned 3 bytes, expected 8" }))"},
        {Error::io(IoKind::BrokenPipe, "Pipe error"), "io error: Pipe error",
         R"(Io(Custom { kind: BrokenPipe, error: "Pipe error" }))"},
        {Error::io(IoError::os(ENOENT)), "io error: No such file or directory (os error 2)",
         R"(Io(Os { code: 2, kind: NotFound, message: "No such file or directory" }))"},
        {Error::io(IoError::os(EBUSY)), "io error: Device or resource busy (os error 16)",
         R"(Io(Os { code: 16, kind: ResourceBusy, message: "Device or resource busy" }))"},
        {Error::io(IoError::os(ENODEV)), "io error: No such device (os error 19)",
         R"(Io(Os { code: 19, kind: Uncategorized, message: "No such device" }))"},
        {Error::io(IoError::os(ETIMEDOUT)), "io error: Connection timed out (os error 110)",
         R"(Io(Os { code: 110, kind: TimedOut, message: "Connection timed out" }))"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_string(c.error), c.display);
        EXPECT_EQ(fmt::format("{}", c.error), c.display);
        EXPECT_EQ(debug_string(c.error), c.debug);
    }
    EXPECT_TRUE(Error::timeout(1s).is_timeout());
    EXPECT_EQ(IoError::os(EACCES).os_error, EACCES);
    EXPECT_EQ(IoError::os(EACCES).kind, IoKind::PermissionDenied);
}

}  // namespace
