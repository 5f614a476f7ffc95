#include <gtest/gtest.h>

#include <chrono>

#include "diag/output.hpp"

using namespace vexlor;
using diag::Level;

namespace {

diag::Event event(Level level, std::string target, std::string message, diag::Fields fields = {},
                  std::vector<diag::SpanRecord> spans = {}) {
    using namespace std::chrono;
    // 2026-12-10T08:41:46.123456Z
    sys_time<microseconds> t = sys_days{year{2026} / 12 / 10} + hours{8} + minutes{41} + seconds{46} + microseconds{123456};
    return diag::Event{t, level, std::move(target), std::move(message), std::move(fields), std::move(spans)};
}

}  // namespace

TEST(Output, PlainLines) {
    struct Case {
        diag::Event event;
        std::string line;
    };
    const Case cases[] = {
        {event(Level::Info, "vexlor::transport::linux", "SG_IO completed",
               {diag::field("host_status", "Ok"), diag::field("resid", 0)},
               {{"execute", "vexlor::transport::linux",
                 {diag::field("cdb", "[18, 0, 0, 0, 36, 0]"), diag::field("data", "In(36 bytes)")}}}),
         "2026-12-10T08:41:46.123456Z  INFO execute{cdb=[18, 0, 0, 0, 36, 0] data=In(36 bytes)}: "
         "vexlor::transport::linux: SG_IO completed host_status=Ok resid=0\n"},
        {event(Level::Debug, "vexlor::device", "could not enumerate USB", {diag::field("e", "no memory")}),
         "2026-12-10T08:41:46.123456Z DEBUG vexlor::device: could not enumerate USB e=no memory\n"},
        {event(Level::Warn, "libusb", "x", {}, {{"open", "t", {}}, {"read", "t", {diag::field("n", 2)}}}),
         "2026-12-10T08:41:46.123456Z  WARN open:read{n=2}: libusb: x\n"},
        {event(Level::Trace, "vexlor::cdb", "", {diag::field("cdb", "12 00")}),
         "2026-12-10T08:41:46.123456Z TRACE vexlor::cdb: cdb=12 00\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(diag::format_line(c.event, false), c.line);
}

TEST(Output, ColouredLine) {
    auto e = event(Level::Info, "vexlor::device", "found", {diag::field("n", 1)}, {{"list", "vexlor::device", {}}});
    EXPECT_EQ(diag::format_line(e, true),
              "\x1b[2m2026-12-10T08:41:46.123456Z\x1b[0m \x1b[32m INFO\x1b[0m \x1b[1mlist\x1b[0m\x1b[2m:\x1b[0m "
              "\x1b[2mvexlor::device\x1b[0m\x1b[2m:\x1b[0m found \x1b[3mn\x1b[0m\x1b[2m=\x1b[0m1\n");
}

TEST(Output, FilterChoice) {
    std::vector<std::string> notes;
    auto note = [&](const std::string& n) { notes.push_back(n); };
    struct Case {
        std::optional<std::string> rust_log;
        std::string level;
        std::vector<diag::Directive> directives;
        std::size_t notes;
    };
    using diag::LevelFilter;
    const Case cases[] = {
        {std::nullopt, "info", {{std::nullopt, LevelFilter::Info}, {"libusb", LevelFilter::Warn}}, 0},
        {"vexlor::session=trace", "debug", {{"vexlor::session", LevelFilter::Trace}}, 0},
        {"vexlor=loud", "debug", {{std::nullopt, LevelFilter::Debug}, {"libusb", LevelFilter::Warn}}, 0},
        {std::nullopt, "=bad", {{"libusb", LevelFilter::Warn}}, 1},
        {" , ", "warn", {{std::nullopt, LevelFilter::Warn}, {"libusb", LevelFilter::Warn}}, 0},
    };
    for (const auto& c : cases) {
        notes.clear();
        SCOPED_TRACE(c.rust_log.value_or("(unset)") + " / " + c.level);
        auto f = diag::choose_filter(c.rust_log, c.level, note);
        EXPECT_EQ(f.directives(), c.directives);
        EXPECT_EQ(notes.size(), c.notes);
    }
}
