#include "diag/output.hpp"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>

namespace vexlor::diag {

namespace {

constexpr std::string_view reset = "\x1b[0m";
constexpr std::string_view bold = "\x1b[1m";
constexpr std::string_view dimmed = "\x1b[2m";
constexpr std::string_view italic = "\x1b[3m";

std::string_view level_colour(Level l) {
    switch (l) {
        case Level::Error: return "\x1b[31m";
        case Level::Warn: return "\x1b[33m";
        case Level::Info: return "\x1b[32m";
        case Level::Debug: return "\x1b[34m";
        case Level::Trace: return "\x1b[35m";
    }
    return "";
}

void paint(std::string& out, std::string_view style, std::string_view text, bool ansi) {
    if (ansi) {
        out += style;
        out += text;
        out += reset;
    } else {
        out += text;
    }
}

std::string timestamp(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    auto since = t.time_since_epoch();
    auto secs = floor<seconds>(since);
    auto micros = duration_cast<microseconds>(since - secs).count();
    std::time_t tt = static_cast<std::time_t>(secs.count());
    std::tm tm{};
    gmtime_r(&tt, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec, micros);
}

void append_fields(std::string& out, const Fields& fields, bool ansi, bool need_blank) {
    for (const auto& f : fields) {
        if (need_blank) out += ' ';
        need_blank = true;
        paint(out, italic, f.name, ansi);
        paint(out, dimmed, "=", ansi);
        out += f.value;
    }
}

class TextOutput final : public Sink {
public:
    TextOutput(Filter filter, bool ansi) : filter_(std::move(filter)), ansi_(ansi) {}

    bool enabled(Level level, std::string_view target) const override { return filter_.enabled(level, target); }

    void write(const Event& event) override {
        std::string line = format_line(event, ansi_);
        std::lock_guard lock(mutex_);
        std::string_view rest = line;
        while (!rest.empty()) {
            ssize_t n = ::write(2, rest.data(), rest.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // nowhere to report a failing standard error
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
    }

private:
    Filter filter_;
    bool ansi_;
    std::mutex mutex_;
};

}  // namespace

std::string format_line(const Event& event, bool ansi) {
    std::string out;
    paint(out, dimmed, timestamp(event.time), ansi);
    out += ' ';
    paint(out, level_colour(event.level), fmt::format("{:>5}", level_name(event.level)), ansi);
    out += ' ';
    for (const auto& span : event.spans) {
        paint(out, bold, span.name, ansi);
        if (!span.fields.empty()) {
            paint(out, bold, "{", ansi);
            append_fields(out, span.fields, ansi, false);
            paint(out, bold, "}", ansi);
        }
        paint(out, dimmed, ":", ansi);
    }
    if (!event.spans.empty()) out += ' ';
    paint(out, dimmed, event.target, ansi);
    paint(out, dimmed, ":", ansi);
    out += ' ';
    out += event.message;
    append_fields(out, event.fields, ansi, !event.message.empty());
    out += '\n';
    return out;
}

std::unique_ptr<Sink> text_output(Filter filter, bool ansi) {
    return std::make_unique<TextOutput>(std::move(filter), ansi);
}

Filter choose_filter(const std::optional<std::string>& rust_log, std::string_view level,
                     const std::function<void(const std::string&)>& note) {
    // A RUST_LOG that is set but names nothing (empty, or only commas) would silence everything;
    // it falls back like one that does not parse.
    if (rust_log) {
        if (auto parsed = Filter::parse(*rust_log); parsed && !parsed->directives().empty()) return std::move(*parsed);
    }
    return Filter::parse_lossy(fmt::format("{},libusb=warn", level), note);
}

}  // namespace vexlor::diag
