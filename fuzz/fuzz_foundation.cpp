// Feeds arbitrary bytes to the foundation's parsers and printers: INQUIRY data, a page's flag
// fields and carried bytes, fixed-format sense, the interpretation of any reply and every text
// form of the results. Nothing may crash, and the decoded texts must be valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "diag/filter.hpp"
#include "error.hpp"
#include "protocol/caps/identity.hpp"
#include "protocol/caps/page.hpp"
#include "protocol/sense.hpp"
#include "text.hpp"
#include "transport/transport.hpp"

using namespace vexlor;

namespace {

// Strict UTF-8: no overlongs, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (b < 0x80) {
            len = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if (c < lo || c > hi) return false;
            lo = 0x80, hi = 0xBF;
        }
        i += len;
    }
    return true;
}

void check_text(const std::string& s) {
    if (!valid_utf8(s)) std::abort();
    // Trimmed: no ASCII white space left at either end.
    const std::string_view ws = " \t\n\v\f\r";
    if (!s.empty() && (ws.find(s.front()) != std::string_view::npos || ws.find(s.back()) != std::string_view::npos)) {
        std::abort();
    }
}

void identity(std::span<const std::uint8_t> data) {
    const auto id = protocol::caps::identity::Identity::parse(data);
    if (!id) {
        if (data.size() >= 36) std::abort();
        (void)error::to_string(error::Error(id.error()));
        return;
    }
    check_text(id->vendor);
    check_text(id->product);
    check_text(id->revision);
    (void)protocol::caps::identity::debug_string(*id);
}

void page(std::span<const std::uint8_t> data) {
    if (data.size() < 3) return;
    const std::uint8_t code = data[0];
    const std::size_t flag_pos = data[1];
    const std::size_t carried_pos = data[2];
    protocol::caps::Page p{{data.begin() + 3, data.end()}, code};

    const auto f = p.flags(flag_pos);
    if (f) {
        if (f->second < 1 || f->second > 8 || flag_pos + f->second > p.size()) std::abort();
    } else {
        (void)protocol::caps::to_string(f.error());
        (void)protocol::caps::debug_string(f.error());
        (void)error::debug_string(error::Error(f.error()));
    }
    if (p.size() >= 4) {
        const auto c = p.carried_u8(carried_pos);
        const std::size_t limit = std::min<std::size_t>(p.size(), std::size_t{p.data[3]} + 4);
        if (c.has_value() != (carried_pos < limit)) std::abort();
        if (c && *c != p.data[carried_pos]) std::abort();
    }
}

// Layout: status byte, fourth-code flag and value, then the sense bytes (none below 14).
void outcome(std::span<const std::uint8_t> data) {
    if (data.size() < 3) return;
    const transport::Status status(data[0]);
    const std::optional<std::uint8_t> specific =
        (data[1] & 1) ? std::optional<std::uint8_t>(data[2]) : std::nullopt;
    const auto sense_bytes = data.subspan(3);

    transport::Reply reply{std::nullopt, 0, status};
    if (sense_bytes.size() >= 14) {
        reply.sense = transport::sense_from_fixed(sense_bytes, specific);
        if (reply.sense->raw.size() != sense_bytes.size() || reply.sense->key > 0x0F) std::abort();
    }
    const auto i = protocol::sense::interpret(reply);
    (void)protocol::sense::debug_string(i);
    (void)transport::debug_string(status);
    (void)transport::debug_string(reply.sense);
    if (!i.success()) {
        const auto e = error::Error::from_outcome(i, reply);
        check_text(error::to_string(e));
        (void)error::debug_string(e);
    }
}

void filter(std::span<const std::uint8_t> data) {
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    const auto strict = diag::Filter::parse(text);
    const auto lossy = diag::Filter::parse_lossy(text, nullptr);
    if (strict && strict->directives() != lossy.directives()) std::abort();
    (void)lossy.enabled(diag::Level::Info, "vexlor::session");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> data(bytes + 1, size - 1);
    switch (bytes[0] % 4) {
        case 0: identity(data); break;
        case 1: page(data); break;
        case 2: outcome(data); break;
        case 3: filter(data); break;
    }
    (void)text::hex_list(data);
    (void)text::quoted(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    return 0;
}
