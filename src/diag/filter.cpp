#include "diag/filter.hpp"

#include <algorithm>
#include <cctype>
#include "text.hpp"

namespace vexlor::diag {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}


bool valid_target(std::string_view t) {
    if (t.empty()) return false;
    return std::none_of(t.begin(), t.end(), [](char c) {
        return c == '=' || c == '[' || c == ']' || c == '{' || c == '}' || c == ',' ||
               std::isspace(static_cast<unsigned char>(c));
    });
}

std::expected<Directive, std::string> parse_directive(std::string_view d) {
    const auto eq = d.find('=');
    if (eq == std::string_view::npos) {
        if (auto level = parse_level_filter(d)) return Directive{std::nullopt, *level};
        if (!valid_target(d)) return std::unexpected("invalid filter directive");
        return Directive{std::string(d), LevelFilter::Trace};
    }
    const auto target = trim(d.substr(0, eq));
    const auto level_text = trim(d.substr(eq + 1));
    if (!valid_target(target)) return std::unexpected("invalid filter directive");
    const auto level = parse_level_filter(level_text);
    if (!level) return std::unexpected("error parsing level filter: expected one of \"off\", \"error\", \"warn\", \"info\", \"debug\", \"trace\", or a number 0-5");
    return Directive{std::string(target), *level};
}

template <class F>
void each_directive(std::string_view text, F&& f) {
    while (true) {
        const auto comma = text.find(',');
        const auto piece = trim(text.substr(0, comma));
        if (!piece.empty()) f(piece);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
}

}  // namespace

std::optional<LevelFilter> parse_level_filter(std::string_view t) {
    static constexpr std::pair<std::string_view, LevelFilter> names[] = {
        {"off", LevelFilter::Off},     {"error", LevelFilter::Error}, {"warn", LevelFilter::Warn},
        {"info", LevelFilter::Info},   {"debug", LevelFilter::Debug}, {"trace", LevelFilter::Trace},
    };
    for (const auto& [name, level] : names) {
        if (text::equal_ignoring_ascii_case(t, name)) return level;
    }
    if (t.size() == 1 && t[0] >= '0' && t[0] <= '5') return static_cast<LevelFilter>(t[0] - '0');
    return std::nullopt;
}

bool target_under(std::string_view target, std::string_view prefix) { return target.starts_with(prefix); }

std::expected<Filter, std::string> Filter::parse(std::string_view text) {
    Filter f;
    std::optional<std::string> error;
    each_directive(text, [&](std::string_view d) {
        if (error) return;
        auto parsed = parse_directive(d);
        if (!parsed) {
            error = parsed.error();
            return;
        }
        f.directives_.push_back(std::move(*parsed));
    });
    if (error) return std::unexpected(*error);
    return f;
}

Filter Filter::parse_lossy(std::string_view text, const std::function<void(const std::string&)>& note) {
    Filter f;
    each_directive(text, [&](std::string_view d) {
        auto parsed = parse_directive(d);
        if (!parsed) {
            if (note) note("ignoring `" + std::string(d) + "`: " + parsed.error());
            return;
        }
        f.directives_.push_back(std::move(*parsed));
    });
    return f;
}

bool Filter::enabled(Level level, std::string_view target) const {
    // The directive with the longest matching target decides; later ones win ties.
    const Directive* best = nullptr;
    std::size_t best_len = 0;
    for (const auto& d : directives_) {
        if (d.target) {
            if (target_under(target, *d.target) && (!best || !best->target || d.target->size() >= best_len)) {
                best = &d;
                best_len = d.target->size();
            }
        } else if (!best || !best->target) {
            best = &d;
        }
    }
    if (!best) return false;
    return static_cast<unsigned char>(level) <= static_cast<unsigned char>(best->level);
}

}  // namespace vexlor::diag
