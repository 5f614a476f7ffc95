// Feeds arbitrary bytes to every capability page parser as each page type, and prints every
// result. Nothing may crash; a truncation must always ask for more than the page has.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/caps/address.hpp"
#include "protocol/caps/ccd.hpp"
#include "protocol/caps/frames.hpp"
#include "protocol/caps/other.hpp"
#include "protocol/caps/set_window.hpp"
#include "protocol/data.hpp"

using namespace vexlor::protocol::caps;

namespace {

template <class Record>
const Record* check(const std::expected<Record, Error>& r, const Page& page) {
    if (r) return &*r;
    const auto& e = r.error();
    if (const auto* t = std::get_if<Error::Truncated>(&e.value)) {
        if (t->page != page.code || t->got != page.size() || t->need <= t->got) std::abort();
    } else {
        const auto& b = std::get<Error::BadField>(e.value);
        if (b.page != page.code || b.byte >= page.size()) std::abort();
    }
    (void)to_string(e);
    (void)debug_string(e);
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);

    const Page c1{bytes, 0xC1};
    const auto c1_record = address::Address::from_page(c1);
    if (const auto* a = check(c1_record, c1)) {
        if (a->pitch_rule > 3 || (a->framing_flags & ~0x5C) != 0 || (a->read_units & ~0x0F) != 0) std::abort();
        if (a->ccd_lines == 0 || a->holder == 0 || a->holder2 == 0 || a->max_transfer == 0) std::abort();
    }

    const Page d1{bytes, 0xD1};
    const auto d1_record = set_window::SetWindowFunction::from_page(d1);
    if (const auto* f = check(d1_record, d1)) {
        (void)debug_string(f->kinds), (void)debug_string(f->modes), (void)debug_string(f->interleavings);
        (void)debug_string(f->analog);
    }

    const Page e1{bytes, 0xE1};
    const auto e1_record = other::Features::from_page(e1);
    if (const auto* f = check(e1_record, e1)) {
        (void)debug_string(f->cooperation);
        (void)debug_string(f->execute_ops);
        for (const auto op : f->execute_ops.ops()) {
            if (op.code() < 0x80 || !f->execute_ops.offers(op.code())) std::abort();
        }
        for (unsigned code = 0; code < 256; ++code) {
            (void)f->supports_read(static_cast<std::uint8_t>(code));
            (void)f->supports_send(static_cast<std::uint8_t>(code));
        }
    }

    const Page c8{bytes, 0xC8};
    const auto c8_record = frames::Frames::from_page(c8);
    if (const auto* f = check(c8_record, c8)) {
        if (f->frames.size() != bytes[4]) std::abort();
    }

    const Page e3{bytes, 0xE3};
    const auto e3_record = ccd::CcdMeasurement::from_page(e3);
    if (const auto* m = check(e3_record, e3)) {
        if (m->values.size() != bytes[10]) std::abort();
    }
    return 0;
}
