#include "scan/focus.hpp"

#include <fmt/format.h>

#include "text.hpp"

namespace vexlor::scan::focus {

std::string debug_string(const Focus& f) {
    struct V {
        std::string operator()(const Focus::Auto& a) const {
            return fmt::format("Auto {{ color: {}, x: {}, y: {} }}",
                               text::debug_option(a.color, [](std::uint8_t c) { return std::to_string(c); }), a.x, a.y);
        }
        std::string operator()(const Focus::Position& p) const { return fmt::format("Position({})", p.position); }
        std::string operator()(const Focus::Hold&) const { return "Hold"; }
    };
    return std::visit(V{}, f.value);
}

std::string debug_string(Focused f) {
    switch (f) {
        case Focused::Focused: return "Focused";
        case Focused::NotReached: return "NotReached";
        case Focused::Skipped: return "Skipped";
    }
    return "Skipped";
}

}  // namespace vexlor::scan::focus
