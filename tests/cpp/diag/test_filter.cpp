#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/filter.hpp"

using vexlor::diag::Filter;
using vexlor::diag::Level;

namespace {

struct Case {
    const char* filter;
    Level level;
    const char* target;
    bool enabled;
};

constexpr Level T = Level::Trace, D = Level::Debug, I = Level::Info, W = Level::Warn, E = Level::Error;

const Case cases[] = {
    // A level alone applies to every target.
    {"info", I, "vexlor::session", true},
    {"info", D, "vexlor::session", false},
    {"info", W, "anything", true},
    {"WARN", I, "vexlor", false},
    {"3", I, "vexlor", true},
    {"3", D, "vexlor", false},
    {"error", E, "vexlor", true},
    {"error", W, "vexlor", false},
    {"trace", T, "x", true},
    // The default filter: every target at the default level, the USB library at WARN.
    {"info,libusb=warn", I, "vexlor::transport::usb", true},
    {"info,libusb=warn", I, "libusb", false},
    {"info,libusb=warn", W, "libusb", true},
    {"debug,libusb=warn", D, "vexlor::cdb", true},
    // A target alone means TRACE for it, and nothing for the rest.
    {"vexlor::cdb", T, "vexlor::cdb", true},
    {"vexlor::cdb", E, "vexlor::session", false},
    {"vexlor::session=trace", T, "vexlor::session::probe", true},
    {"vexlor::session=trace", W, "vexlor::transport", false},
    // A directive's target is a plain prefix of the event's target text.
    {"vexlor::sess=trace", T, "vexlor::sess", true},
    {"vexlor::dev=debug", D, "vexlor::device", true},
    {"vexlor::dev=debug", D, "vexlor::de", false},
    {"vexlor=debug", D, "vexlorx", true},
    {"vexlor=debug", D, "vexlor::x", true},
    // The longest matching target wins, wherever it stands.
    {"vexlor=warn,vexlor::session=trace", T, "vexlor::session", true},
    {"vexlor::session=trace,vexlor=warn", T, "vexlor::session", true},
    {"vexlor::session=trace,vexlor=warn", I, "vexlor::scan", false},
    {"trace,vexlor::session=warn", I, "vexlor::session::window", false},
    {"trace,vexlor::session=warn", I, "vexlor::scan", true},
    // Off silences, also under a louder default.
    {"off", E, "vexlor", false},
    {"trace,vexlor::cdb=off", E, "vexlor::cdb", false},
    {"trace,vexlor::cdb=off", T, "vexlor::cdbx", false},
    {"trace,vexlor::cdb=off", T, "vexlor::cd", true},
    // Blanks around directives and empty pieces are ignored.
    {" info , vexlor::cdb = trace ,", T, "vexlor::cdb", true},
    {"", E, "vexlor", false},
};

TEST(Filter, Enabled) {
    for (const auto& c : cases) {
        auto f = Filter::parse(c.filter);
        ASSERT_TRUE(f.has_value()) << c.filter << ": " << f.error();
        EXPECT_EQ(f->enabled(c.level, c.target), c.enabled)
            << '"' << c.filter << "\" " << vexlor::diag::level_name(c.level) << ' ' << c.target;
    }
}

TEST(Filter, BadDirectives) {
    const char* bad[] = {"vexlor=loud", "=info", "a b", "vexlor[span]=info", "info,vexlor=verbose"};
    for (const char* text : bad) {
        EXPECT_FALSE(Filter::parse(text).has_value()) << text;
    }

    std::vector<std::string> notes;
    const auto f = Filter::parse_lossy("debug,vexlor=loud,=x,libusb=warn",
                                       [&](const std::string& n) { notes.push_back(n); });
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find("vexlor=loud"), std::string::npos) << notes[0];
    EXPECT_NE(notes[1].find("=x"), std::string::npos) << notes[1];
    // The good directives stay in force.
    EXPECT_TRUE(f.enabled(Level::Debug, "vexlor"));
    EXPECT_FALSE(f.enabled(Level::Info, "libusb"));
    EXPECT_EQ(f.directives().size(), 2u);
}

}  // namespace
