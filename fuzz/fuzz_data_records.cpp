// The vendor record parsers on arbitrary payloads: every one is total, and a frame table that
// parses encodes back to the bytes it came from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "protocol/data.hpp"

using namespace vexlor::protocol::data;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the value kind; the rest is the payload every parser sees.
    const std::uint8_t kind = data[0];
    const std::span<const std::uint8_t> p(data + 1, size - 1);

    (void)Values::decode(kind, p);
    if (auto s = Setup::from_bytes(p)) (void)debug_string(*s);
    if (auto t = PerfInformation::from_bytes(p)) {
        for (const auto& e : *t) (void)debug_string(e);
    }
    auto a = CooperativeAction::from_bytes(p);
    if (a.has_value() == p.empty()) std::abort();
    if (a) (void)debug_string(*a);
    if (auto h = Header::from_bytes(p)) (void)debug_string(*h);
    if (auto o = Operation::from_bytes(p)) {
        if (Operation::from_bytes(o->to_bytes()) != o) std::abort();
    }

    if (auto b = BoundaryType2::from_bytes(p)) {
        if (!b->positions.empty()) {
            auto bytes = b->to_bytes();
            if (!bytes || bytes->size() > p.size()) std::abort();
            // Byte 3 is ignored when read and written as 0.
            if (!std::equal(bytes->begin(), bytes->begin() + 3, p.begin()) ||
                !std::equal(bytes->begin() + 4, bytes->end(), p.begin() + 4)) {
                std::abort();
            }
        }
        FramePosition pos{kind, 1, 2, 3};
        const std::size_t before = b->positions.size();
        b->register_position(pos);
        if (b->positions.size() != std::max<std::size_t>(before, 1)) std::abort();
    }
    return 0;
}
