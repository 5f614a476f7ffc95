#pragma once

#include <string_view>

namespace vexlor::diag {

enum class Level : unsigned char { Error = 1, Warn, Info, Debug, Trace };

constexpr std::string_view level_name(Level l) {
    switch (l) {
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
    }
    return "?";
}

}  // namespace vexlor::diag
