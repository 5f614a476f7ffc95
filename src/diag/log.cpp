#include "diag/log.hpp"

#include <algorithm>
#include <mutex>

namespace vexlor::diag {

struct Capture::State {
    mutable std::mutex mutex;
    std::vector<Event> events;
};

namespace {

struct Registry {
    std::mutex mutex;
    std::unique_ptr<Sink> output;  // set once, never replaced
    std::vector<std::shared_ptr<Capture::State>> captures;
};

Registry& registry() {
    static Registry* r = new Registry;  // lives until exit, so late events on other threads are safe
    return *r;
}

std::atomic<Sink*> output_ptr{nullptr};
std::atomic<int> capture_count{0};

thread_local std::vector<SpanRecord> span_stack;

void refresh_receiver() {
    any_receiver.store(output_ptr.load() != nullptr || capture_count.load() > 0);
}

}  // namespace

const std::string* Event::value(std::string_view name) const {
    for (const auto& f : fields) {
        if (f.name == name) return &f.value;
    }
    return nullptr;
}

bool install(std::unique_ptr<Sink> sink) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.output) return false;
    r.output = std::move(sink);
    output_ptr.store(r.output.get());
    refresh_receiver();
    return true;
}

bool installed() { return output_ptr.load() != nullptr; }

bool enabled_slow(Level level, std::string_view target) {
    if (capture_count.load(std::memory_order_relaxed) > 0) return true;
    Sink* out = output_ptr.load(std::memory_order_acquire);
    return out && out->enabled(level, target);
}

void emit(Level level, std::string_view target, std::string message, Fields fields) {
    Event e{std::chrono::system_clock::now(), level, std::string(target), std::move(message), std::move(fields),
            span_stack};
    if (Sink* out = output_ptr.load(std::memory_order_acquire); out && out->enabled(level, target)) {
        out->write(e);
    }
    if (capture_count.load(std::memory_order_relaxed) > 0) {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        for (const auto& c : r.captures) {
            std::lock_guard inner(c->mutex);
            c->events.push_back(e);
        }
    }
}

Span::Span(Level level, std::string_view target, std::string_view name, Fields fields) {
    if (enabled(level, target)) enter(target, name, std::move(fields));
}

void Span::enter(std::string_view target, std::string_view name, Fields fields) {
    span_stack.push_back(SpanRecord{std::string(name), std::string(target), std::move(fields)});
    entered_ = true;
}

Span::~Span() {
    if (entered_) span_stack.pop_back();
}

Capture::Capture() : state_(std::make_shared<State>()) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.captures.push_back(state_);
    capture_count.fetch_add(1);
    refresh_receiver();
}

Capture::~Capture() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase(r.captures, state_);
    capture_count.fetch_sub(1);
    refresh_receiver();
}

std::vector<Event> Capture::events() const {
    std::lock_guard lock(state_->mutex);
    return state_->events;
}

std::vector<Event> Capture::find(Level level, std::string_view message, std::string_view target) const {
    std::vector<Event> out;
    std::lock_guard lock(state_->mutex);
    for (const auto& e : state_->events) {
        if (e.level == level && e.message == message && (target.empty() || e.target == target)) out.push_back(e);
    }
    return out;
}

void Capture::clear() {
    std::lock_guard lock(state_->mutex);
    state_->events.clear();
}

}  // namespace vexlor::diag
