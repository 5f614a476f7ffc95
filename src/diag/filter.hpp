// The diagnostics filter: comma-separated directives in the RUST_LOG syntax. A directive is a
// level (error, warn, info, debug, trace, off) for every target, or a target path prefix,
// optionally with "=level", for the targets under it (matched at "::" boundaries).
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diag/level.hpp"

namespace vexlor::diag {

// How verbose a directive lets events be; Off lets nothing through.
enum class LevelFilter : unsigned char { Off = 0, Error, Warn, Info, Debug, Trace };

std::optional<LevelFilter> parse_level_filter(std::string_view text);

struct Directive {
    std::optional<std::string> target;  // absent: applies to every target
    LevelFilter level;
    bool operator==(const Directive&) const = default;
};

class Filter {
public:
    Filter() = default;

    // Every directive must parse; the first that does not is the error's text.
    static std::expected<Filter, std::string> parse(std::string_view text);
    // Directives that do not parse are skipped, each reported to `note`.
    static Filter parse_lossy(std::string_view text, const std::function<void(const std::string&)>& note);

    bool enabled(Level level, std::string_view target) const;
    const std::vector<Directive>& directives() const { return directives_; }

private:
    std::vector<Directive> directives_;
};

// Whether `target` lies under `prefix`: equal to it, or continuing it after "::".
bool target_under(std::string_view target, std::string_view prefix);

}  // namespace vexlor::diag
