// Structured diagnostic events: a level, a target (a module path under "vexlor"), a message
// and named fields, nested in the spans entered on the emitting thread. Nothing is written
// until an output is installed; an event nobody wants costs one atomic load and no formatting.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "diag/level.hpp"

namespace vexlor::diag {

struct Field {
    std::string name;
    std::string value;
    bool operator==(const Field&) const = default;
};
using Fields = std::vector<Field>;

template <class T>
Field field(std::string name, const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return {std::move(name), value ? "true" : "false"};
    } else if constexpr (std::is_integral_v<T> && sizeof(T) == 1) {
        return {std::move(name), std::to_string(static_cast<int>(value))};
    } else {
        return {std::move(name), fmt::format("{}", value)};
    }
}

struct SpanRecord {
    std::string name;
    std::string target;
    Fields fields;
};

struct Event {
    std::chrono::system_clock::time_point time;
    Level level;
    std::string target;
    std::string message;
    Fields fields;
    std::vector<SpanRecord> spans;  // outermost first

    const std::string* value(std::string_view name) const;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual bool enabled(Level level, std::string_view target) const = 0;
    virtual void write(const Event& event) = 0;
};

// Installs the process-wide output. Only the first call succeeds; later calls change nothing.
bool install(std::unique_ptr<Sink> sink);
bool installed();

// True when an installed output or a capture wants this event.
inline std::atomic<bool> any_receiver{false};
bool enabled_slow(Level level, std::string_view target);
inline bool enabled(Level level, std::string_view target) {
    return any_receiver.load(std::memory_order_relaxed) && enabled_slow(level, target);
}

void emit(Level level, std::string_view target, std::string message, Fields fields = {});

// Entered for its lifetime on the constructing thread; events emitted meanwhile carry it.
class Span {
public:
    Span(Level level, std::string_view target, std::string_view name, Fields fields = {});
    // The fields are made only when the span is wanted.
    template <class MakeFields>
        requires std::is_invocable_r_v<Fields, MakeFields>
    Span(Level level, std::string_view target, std::string_view name, MakeFields&& make_fields) {
        if (enabled(level, target)) enter(target, name, make_fields());
    }
    ~Span();
    Span(const Span&) = delete;
    Span& operator=(const Span&) = delete;

private:
    void enter(std::string_view target, std::string_view name, Fields fields);
    bool entered_ = false;
};

// Test hook: records every event at every level while it lives.
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<Event> events() const;
    // The events with this level and message (and target, when given).
    std::vector<Event> find(Level level, std::string_view message, std::string_view target = {}) const;
    bool contains(Level level, std::string_view message, std::string_view target = {}) const {
        return !find(level, message, target).empty();
    }
    void clear();

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace vexlor::diag

#define VX_LOG(level, target, message, ...)                                              \
    do {                                                                                 \
        if (::vexlor::diag::enabled((level), (target))) {                                \
            ::vexlor::diag::emit((level), (target), (message), ::vexlor::diag::Fields{__VA_ARGS__}); \
        }                                                                                \
    } while (0)
#define VX_TRACE(target, message, ...) VX_LOG(::vexlor::diag::Level::Trace, target, message, __VA_ARGS__)
#define VX_DEBUG(target, message, ...) VX_LOG(::vexlor::diag::Level::Debug, target, message, __VA_ARGS__)
#define VX_INFO(target, message, ...) VX_LOG(::vexlor::diag::Level::Info, target, message, __VA_ARGS__)
#define VX_WARN(target, message, ...) VX_LOG(::vexlor::diag::Level::Warn, target, message, __VA_ARGS__)
