// A caller's focus request for one frame, and what focusing came to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace vexlor::scan::focus {

struct Focus {
    // Autofocus at a point given as fractions of the frame (0 left or top, 1 right or bottom).
    struct Auto {
        std::optional<std::uint8_t> color;  // a window identifier; none for the unit's default
        float x = 0.5f;
        float y = 0.5f;
        bool operator==(const Auto&) const = default;
    };
    struct Position {
        std::uint16_t position = 0;
        bool operator==(const Position&) const = default;
    };
    struct Hold {
        bool operator==(const Hold&) const = default;
    };
    std::variant<Auto, Position, Hold> value;
    bool operator==(const Focus&) const = default;
};

enum class Focused { Focused, NotReached, Skipped };

std::string debug_string(const Focus& f);
std::string debug_string(Focused f);

}  // namespace vexlor::scan::focus
