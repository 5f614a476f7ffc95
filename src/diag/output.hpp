// The text output: one line per event on standard error, in the layout
// "2026-12-10T08:41:46.123456Z  INFO span{a=1}: vexlor::target: message k=v".
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "diag/filter.hpp"
#include "diag/log.hpp"

namespace vexlor::diag {

// One event's line, newline included; ANSI colour escapes when `ansi`.
std::string format_line(const Event& event, bool ansi);

// Writes each event the filter lets through to file descriptor 2, one whole line at a time
// (events may come from any thread).
std::unique_ptr<Sink> text_output(Filter filter, bool ansi);

// The filter a caller gets: RUST_LOG's value when it is given and parses, otherwise
// "{level},libusb=warn" with directives that do not parse skipped and reported to `note`.
Filter choose_filter(const std::optional<std::string>& rust_log, std::string_view level,
                     const std::function<void(const std::string&)>& note);

}  // namespace vexlor::diag
