#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "diag/filter.hpp"
#include "diag/log.hpp"

using namespace vexlor;
using diag::Level;

namespace {

// A field value that counts how often it is formatted.
struct Counted {
    static inline std::atomic<int> formatted{0};
};

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string> {
    auto format(const Counted&, fmt::format_context& ctx) const {
        ++Counted::formatted;
        return fmt::formatter<std::string>::format("counted", ctx);
    }
};

namespace {

std::vector<std::string> span_names(const diag::Event& e) {
    std::vector<std::string> out;
    for (const auto& s : e.spans) out.push_back(s.name);
    return out;
}

TEST(Log, CaptureSeesEventsWithFields) {
    diag::Capture cap;
    VX_DEBUG("vexlor::session", "sent the window", diag::field("count", 3), diag::field("ok", true),
             diag::field("code", std::uint8_t{0xC1}), diag::field("what", std::string("film")));
    VX_TRACE("vexlor::cdb", "command");

    const auto events = cap.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].level, Level::Debug);
    EXPECT_EQ(events[0].target, "vexlor::session");
    EXPECT_EQ(events[0].message, "sent the window");
    const diag::Fields want{{"count", "3"}, {"ok", "true"}, {"code", "193"}, {"what", "film"}};
    EXPECT_EQ(events[0].fields, want);
    ASSERT_NE(events[0].value("code"), nullptr);
    EXPECT_EQ(*events[0].value("code"), "193");
    EXPECT_EQ(events[0].value("missing"), nullptr);

    EXPECT_TRUE(cap.contains(Level::Trace, "command", "vexlor::cdb"));
    EXPECT_FALSE(cap.contains(Level::Trace, "command", "vexlor::session"));
    EXPECT_FALSE(cap.contains(Level::Debug, "command"));
    cap.clear();
    EXPECT_TRUE(cap.events().empty());
}

TEST(Log, CaptureSeesOnlyItsLifetime) {
    VX_INFO("vexlor::t", "before");
    diag::Capture outer;
    {
        diag::Capture inner;
        VX_INFO("vexlor::t", "both");
        EXPECT_EQ(inner.events().size(), 1u);
    }
    VX_INFO("vexlor::t", "outer only");
    const auto events = outer.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, "both");
    EXPECT_EQ(events[1].message, "outer only");
}

TEST(Log, SpansNestPerThread) {
    diag::Capture cap;
    {
        diag::Span pass(Level::Debug, "vexlor::session::scan", "pass", {diag::field("frame", 2)});
        VX_INFO("vexlor::t", "in pass");
        {
            diag::Span read(Level::Trace, "vexlor::session::scan", "read");
            VX_INFO("vexlor::t", "in read");
            std::thread([] { VX_INFO("vexlor::t", "other thread"); }).join();
        }
        VX_INFO("vexlor::t", "back in pass");
    }
    VX_INFO("vexlor::t", "outside");

    const auto events = cap.events();
    ASSERT_EQ(events.size(), 5u);
    using V = std::vector<std::string>;
    EXPECT_EQ(span_names(events[0]), (V{"pass"}));
    EXPECT_EQ(span_names(events[1]), (V{"pass", "read"}));
    EXPECT_EQ(events[2].message, "other thread");
    EXPECT_EQ(span_names(events[2]), V{});
    EXPECT_EQ(span_names(events[3]), (V{"pass"}));
    EXPECT_EQ(span_names(events[4]), V{});
    EXPECT_EQ(events[0].spans[0].target, "vexlor::session::scan");
    EXPECT_EQ(events[0].spans[0].fields, (diag::Fields{{"frame", "2"}}));
}

TEST(Log, NothingFormattedWithoutReceiver) {
    if (diag::installed()) GTEST_SKIP() << "an output is installed in this process";
    Counted::formatted = 0;
    EXPECT_FALSE(diag::enabled(Level::Warn, "vexlor"));
    VX_WARN("vexlor::t", "nobody listens", diag::field("v", Counted{}));
    EXPECT_EQ(Counted::formatted, 0);
    {
        diag::Capture cap;
        VX_WARN("vexlor::t", "captured", diag::field("v", Counted{}));
        EXPECT_EQ(Counted::formatted, 1);
        EXPECT_EQ(*cap.events().at(0).value("v"), "counted");
    }
    VX_WARN("vexlor::t", "nobody listens again", diag::field("v", Counted{}));
    EXPECT_EQ(Counted::formatted, 1);
}

// An output that lets through what its filter allows and keeps what it gets.
struct FilteredSink : diag::Sink {
    explicit FilteredSink(diag::Filter f, std::shared_ptr<std::vector<std::string>> seen)
        : filter(std::move(f)), seen(std::move(seen)) {}
    bool enabled(Level level, std::string_view target) const override { return filter.enabled(level, target); }
    void write(const diag::Event& e) override { seen->push_back(e.target + " " + e.message); }
    diag::Filter filter;
    std::shared_ptr<std::vector<std::string>> seen;
};

TEST(Log, OutputFilterSkipsFormatting) {
    auto seen = std::make_shared<std::vector<std::string>>();
    auto filter = diag::Filter::parse("warn,vexlor::cdb=trace");
    ASSERT_TRUE(filter.has_value());
    if (!diag::install(std::make_unique<FilteredSink>(*filter, seen))) {
        GTEST_SKIP() << "another output was installed first in this process";
    }
    EXPECT_TRUE(diag::installed());
    // Only the first installation counts.
    EXPECT_FALSE(diag::install(std::make_unique<FilteredSink>(diag::Filter{}, seen)));

    Counted::formatted = 0;
    VX_INFO("vexlor::session", "filtered out", diag::field("v", Counted{}));
    VX_DEBUG("vexlor::cd", "filtered out", diag::field("v", Counted{}));
    EXPECT_EQ(Counted::formatted, 0);
    VX_TRACE("vexlor::cdb", "command", diag::field("v", Counted{}));
    VX_WARN("vexlor::session", "kept");
    EXPECT_EQ(Counted::formatted, 1);
    EXPECT_EQ(*seen, (std::vector<std::string>{"vexlor::cdb command", "vexlor::session kept"}));
}

// Events keep flowing from other threads while captures come and go; each event carries the
// span of the thread that emitted it.
TEST(Log, EmitWhileCapturesComeAndGo) {
    constexpr int workers = 3, ticks = 3000;
    diag::Capture all;  // alive throughout, so the workers' spans are entered
    std::atomic<int> running{workers};
    std::vector<std::thread> emitters;
    for (int t = 0; t < workers; ++t) {
        emitters.emplace_back([&running, t] {
            diag::Span span(Level::Debug, "vexlor::t", "worker", {diag::field("t", t)});
            for (int i = 0; i < ticks; ++i) VX_DEBUG("vexlor::t", "tick", diag::field("t", t));
            --running;
        });
    }
    int rounds = 0;
    while (running.load() > 0 || rounds < 20) {
        diag::Capture brief;
        VX_INFO("vexlor::t", "mark");
        EXPECT_TRUE(brief.contains(Level::Info, "mark"));
        ++rounds;
    }
    for (auto& t : emitters) t.join();

    const auto events = all.find(Level::Debug, "tick");
    ASSERT_EQ(events.size(), std::size_t{workers * ticks});
    for (const auto& e : events) {
        ASSERT_EQ(span_names(e), std::vector<std::string>{"worker"});
        ASSERT_EQ(e.spans[0].fields.at(0).value, *e.value("t"));
    }
}

}  // namespace

TEST(Log, SpanFieldsAreMadeOnlyWhenWanted) {
    int made = 0;
    const auto fields = [&] {
        ++made;
        return diag::Fields{diag::field("cdb", "[0, 0]")};
    };
    { diag::Span span(diag::Level::Info, "vexlor::transport", "execute", fields); }
    EXPECT_EQ(made, 0);
    diag::Capture cap;
    {
        diag::Span span(diag::Level::Info, "vexlor::transport", "execute", fields);
        VX_INFO("vexlor::transport", "inside");
    }
    EXPECT_EQ(made, 1);
    ASSERT_EQ(cap.events().size(), 1u);
    ASSERT_EQ(cap.events()[0].spans.size(), 1u);
    EXPECT_EQ(cap.events()[0].spans[0].name, "execute");
}
